// The QuickTime routines this system calls, with QuickTime for Windows' own prototypes
// (cdecl). Each is a dispatch stub or a wrapper of the binding; none links against
// QuickTime. A runtime of this tree implements the same prototypes behind its dispatcher.
// On Windows QuickTime names its rectangle routine MacOffsetRect (user32 owns OffsetRect).
#pragma once

#include "quicktime/QuickTimeTypes.h"

extern "C" {

// start-up (InitializeQTML and TerminateQTML are the loader's, QuickTimeLoader.cpp)
OSErr InitializeQTML(long flags);
void TerminateQTML(void);
OSErr EnterMovies(void);
void ExitMovies(void);
OSErr Gestalt(OSType selector, long *response);

// opening
OSErr NativePathNameToFSSpec(char *inName, FSSpec *outFile, long flags);
OSErr OpenMovieFile(const FSSpec *fileSpec, SInt16 *resRefNum, SInt8 permission);
OSErr NewMovieFromFile(Movie *theMovie, SInt16 resRefNum, SInt16 *resId, StringPtr resName,
                       SInt16 newMovieFlags, Boolean *dataRefWasChanged);
OSErr CloseMovieFile(SInt16 resRefNum);
void DisposeMovie(Movie theMovie);
OSErr GetMoviesError(void);

// movie
long GetMovieTrackCount(Movie theMovie);
Track GetMovieIndTrackType(Movie theMovie, long index, OSType trackType, long flags);
TimeScale GetMovieTimeScale(Movie theMovie);
TimeValue GetMovieDuration(Movie theMovie);
// Counts the movie's time in another scale from now on (its duration, edits and current time
// are converted).
void SetMovieTimeScale(Movie theMovie, TimeScale timeScale);
void GetMovieBox(Movie theMovie, Rect *boxRect);
void SetMovieBox(Movie theMovie, const Rect *boxRect);
void MacOffsetRect(Rect *r, SInt16 dh, SInt16 dv);

// track and media
TimeValue GetTrackDuration(Track theTrack);  // movie time, its edits applied
Media GetTrackMedia(Track theTrack);
TimeScale GetMediaTimeScale(Media theMedia);
TimeValue GetMediaDuration(Media theMedia);
long GetMediaSampleCount(Media theMedia);
void GetMediaSampleDescription(Media theMedia, long index, SampleDescriptionHandle descH);
OSErr GetSoundDescriptionExtension(SoundDescriptionHandle desc, Handle *extension,
                                   OSType idType);
OSErr GetMediaSample(Media theMedia, Handle dataOut, long maxSizeToGrow, long *size,
                     TimeValue time, TimeValue *sampleTime, TimeValue *durationPerSample,
                     SampleDescriptionHandle sampleDescriptionH, long *sampleDescriptionIndex,
                     long maxNumberOfSamples, long *numberOfSamples, SInt16 *sampleFlags);
void GetMediaNextInterestingTime(Media theMedia, SInt16 interestingTimeFlags, TimeValue time,
                                 Fixed rate, TimeValue *interestingTime,
                                 TimeValue *interestingDuration);
void GetTrackNextInterestingTime(Track theTrack, SInt16 interestingTimeFlags, TimeValue time,
                                 Fixed rate, TimeValue *interestingTime,
                                 TimeValue *interestingDuration);
OSErr DisposeTrackMedia(Media theMedia);
void DisposeMovieTrack(Track theTrack);

// drawing
OSErr NewGWorldFromHBITMAP(GWorldPtr *offscreenGWorld, CTabHandle cTable, GDHandle aGDevice,
                           GWorldFlags flags, void *newHBITMAP, void *newHDC);
GDHandle GetGWorldDevice(GWorldPtr offscreenGWorld);
void SetMovieGWorld(Movie theMovie, CGrafPtr port, GDHandle gdh);
void SetMovieTimeValue(Movie theMovie, TimeValue newtime);
void MoviesTask(Movie theMovie, long maxMilliSecToUse);
void DisposeGWorld(GWorldPtr offscreenGWorld);

// movie audio extraction
OSStatus MovieAudioExtractionBegin(Movie theMovie, UInt32 flags,
                                   MovieAudioExtractionRef *outSession);
OSStatus MovieAudioExtractionEnd(MovieAudioExtractionRef session);
OSStatus MovieAudioExtractionFillBuffer(MovieAudioExtractionRef session, UInt32 *ioNumFrames,
                                        AudioBufferList *ioData, UInt32 *outFlags);
OSStatus MovieAudioExtractionGetPropertyInfo(MovieAudioExtractionRef session,
                                             QTPropertyClass inPropClass,
                                             QTPropertyID inPropID,
                                             QTPropertyValueType *outPropType,
                                             ByteCount *outPropValueSize,
                                             UInt32 *outPropertyFlags);
OSStatus MovieAudioExtractionGetProperty(MovieAudioExtractionRef session,
                                         QTPropertyClass inPropClass, QTPropertyID inPropID,
                                         ByteCount inPropValueSize,
                                         QTPropertyValuePtr outPropValueAddress,
                                         ByteCount *outPropValueSizeUsed);
OSStatus MovieAudioExtractionSetProperty(MovieAudioExtractionRef session,
                                         QTPropertyClass inPropClass, QTPropertyID inPropID,
                                         ByteCount inPropValueSize,
                                         ConstQTPropertyValuePtr inPropValueAddress);

// components (OpenADefaultComponent and CloseComponent are stubs; the rest are
// component-call wrappers, QuickTimeComponentCalls.cpp)
OSErr OpenADefaultComponent(OSType componentType, OSType componentSubType,
                            ComponentInstance *ci);
OSErr CloseComponent(ComponentInstance ci);
ComponentResult ComponentFunctionImplemented(ComponentInstance ci, SInt16 ftnNumber);
ComponentResult GetComponentVersion(ComponentInstance ci);
ComponentResult QTGetComponentPropertyInfo(ComponentInstance ci,
                                           ComponentPropertyClass inPropClass,
                                           ComponentPropertyID inPropID,
                                           ComponentValueType *outPropType,
                                           ByteCount *outPropValueSize,
                                           UInt32 *outPropertyFlags);
ComponentResult QTGetComponentProperty(ComponentInstance ci, ComponentPropertyClass inPropClass,
                                       ComponentPropertyID inPropID, ByteCount inPropValueSize,
                                       ComponentValuePtr outPropValueAddress,
                                       ByteCount *outPropValueSizeUsed);
ComponentResult QTSetComponentProperty(ComponentInstance ci, ComponentPropertyClass inPropClass,
                                       ComponentPropertyID inPropID, ByteCount inPropValueSize,
                                       ConstComponentValuePtr inPropValueAddress);
ComponentResult SCAudioFillBuffer(ComponentInstance ci, SCAudioInputDataProc inInputDataProc,
                                  void *inInputDataProcUserData, UInt32 *ioOutputDataPacketSize,
                                  AudioBufferList *outOutputData,
                                  AudioStreamPacketDescription *outPacketDescription);

// the component entry stubs (resolved with the binding; not called by the system)
ComponentResult CallComponent(void);
ComponentResult CallComponentFunctionWithStorage(void);

// sound converter
OSErr SoundConverterOpen(const SoundComponentData *inputFormat,
                         const SoundComponentData *outputFormat, SoundConverter *sc);
OSErr SoundConverterClose(SoundConverter sc);
OSErr SoundConverterSetInfo(SoundConverter sc, OSType selector, void *infoPtr);
OSErr SoundConverterGetInfo(SoundConverter sc, OSType selector, void *infoPtr);
OSErr SoundConverterGetBufferSizes(SoundConverter sc, unsigned long inputBytesTarget,
                                   unsigned long *inputFrames, unsigned long *inputBytes,
                                   unsigned long *outputBytes);
OSErr SoundConverterBeginConversion(SoundConverter sc);
OSErr SoundConverterConvertBuffer(SoundConverter sc, const void *inputPtr,
                                  unsigned long inputFrames, void *outputPtr,
                                  unsigned long *outputFrames, unsigned long *outputBytes);
OSErr SoundConverterEndConversion(SoundConverter sc, void *outputPtr,
                                  unsigned long *outputFrames, unsigned long *outputBytes);
OSErr SoundConverterFillBuffer(SoundConverter sc, SoundConverterFillBufferDataUPP fillBufferDataUPP,
                               void *fillBufferDataRefCon, void *outputBuffer,
                               unsigned long outputBufferByteSize, unsigned long *bytesWritten,
                               unsigned long *framesWritten, unsigned long *outputFlags);
SoundConverterFillBufferDataUPP
NewSoundConverterFillBufferDataUPP(SoundConverterFillBufferDataProcPtr userRoutine);
void DisposeSoundConverterFillBufferDataUPP(SoundConverterFillBufferDataUPP userUPP);

// memory
Ptr NewPtr(Size byteCount);
Ptr NewPtrClear(Size byteCount);
void DisposePtr(Ptr p);
Size GetPtrSize(Ptr p);
Handle NewHandle(Size byteCount);
Handle NewHandleClear(Size byteCount);
void DisposeHandle(Handle h);
Size GetHandleSize(Handle h);
void SetHandleSize(Handle h, Size newSize);
void MoveHHi(Handle h);
void HLock(Handle h);
void HUnlock(Handle h);
void BlockMove(const void *srcPtr, void *destPtr, Size byteCount);
void BlockMoveData(const void *srcPtr, void *destPtr, Size byteCount);
OSErr MemError(void);

// fixed point (X2Fix and Fix2X are marshalling wrappers, QuickTimeMarshalling.cpp)
Fixed X2Fix(double x);
double Fix2X(Fixed x);
SInt16 FixRound(Fixed x);

// The internal stubs, in the calling form of the wrappers and the loader: a runtime
// implements these selectors with exactly these prototypes.
ComponentResult QTDispatch_CallComponentDispatch(ComponentInstance ci,
                                                 ComponentParameters *params);
void QTDispatch_X2Fix(Fixed *result, const double *x);
void QTDispatch_Fix2X(double *result, const Fixed *x);
OSErr QTDispatch_InitializeQTML(long flags);
void QTDispatch_TerminateQTML(void);
Boolean QTDispatch_IsQTMLInitialized(void);

}  // extern "C"
