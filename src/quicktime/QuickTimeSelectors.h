/* The dispatch selectors: the one table that the binding's stubs and every QuickTime
 * runtime of this tree (the QuickTime.qts stand-in, the tests' fake) agree on.
 *
 * High 16 bits: the group (one of QuickTime's managers); low 16 bits: the routine within it.
 * The selectors of the entering and leaving routines, MoviesTask, SetMovieGWorld,
 * SetMovieTimeValue, audio extraction (0x204B4-0x204B9), FixRound, X2Fix, Gestalt, the
 * handle routines, the graphics bridge, QTML start-up, path conversion and the lazy
 * binding's query are QuickTime's own; the others are this tree's constants, chosen
 * inside their group's range (group 2 from 0x100, away from the fixed ones).
 *
 * Kept preprocessor-only outside the C++ section, so that the stub assembly includes it.
 *
 * QT_PUBLIC_ROUTINES: routines called by their published names; the stub is the routine.
 * QT_INTERNAL_ROUTINES: stubs behind a wrapper or the loader, named QTDispatch_<name>; the
 * runtimes implement them with the wrapper's calling form (see QuickTime.h).
 */
#ifndef QUORVEX_QUICKTIME_SELECTORS_H
#define QUORVEX_QUICKTIME_SELECTORS_H

#define QT_PUBLIC_ROUTINES(X)                              \
    /* Component Manager, 0x00-0x3A */                     \
    X(CloseComponent, 0x00010008)                          \
    X(OpenADefaultComponent, 0x0001002E)                   \
    /* Movie Toolbox, 0x001-0x575 */                       \
    X(EnterMovies, 0x00020001)                             \
    X(ExitMovies, 0x00020002)                              \
    X(GetMoviesError, 0x00020003)                          \
    X(MoviesTask, 0x00020005)                              \
    X(SetMovieGWorld, 0x00020016)                          \
    X(SetMovieTimeValue, 0x0002003D)                       \
    X(OpenMovieFile, 0x00020100)                           \
    X(CloseMovieFile, 0x00020101)                          \
    X(NewMovieFromFile, 0x00020102)                        \
    X(DisposeMovie, 0x00020103)                            \
    X(GetMovieTrackCount, 0x00020104)                      \
    X(GetMovieIndTrackType, 0x00020105)                    \
    X(GetMovieTimeScale, 0x00020106)                       \
    X(GetMovieDuration, 0x00020107)                        \
    X(GetMovieBox, 0x00020108)                             \
    X(SetMovieBox, 0x00020109)                             \
    X(GetTrackMedia, 0x0002010A)                           \
    X(GetMediaTimeScale, 0x0002010B)                       \
    X(GetMediaDuration, 0x0002010C)                        \
    X(GetMediaSampleCount, 0x0002010D)                     \
    X(GetMediaSampleDescription, 0x0002010E)               \
    X(GetSoundDescriptionExtension, 0x0002010F)            \
    X(GetMediaSample, 0x00020110)                          \
    X(GetMediaNextInterestingTime, 0x00020111)             \
    X(DisposeTrackMedia, 0x00020112)                       \
    X(DisposeMovieTrack, 0x00020113)                       \
    X(GetTrackNextInterestingTime, 0x00020114)             \
    X(SetMovieTimeScale, 0x00020115)                       \
    X(GetTrackDuration, 0x00020116)                        \
    X(MovieAudioExtractionBegin, 0x000204B4)               \
    X(MovieAudioExtractionEnd, 0x000204B5)                 \
    X(MovieAudioExtractionFillBuffer, 0x000204B6)          \
    X(MovieAudioExtractionGetPropertyInfo, 0x000204B7)     \
    X(MovieAudioExtractionGetProperty, 0x000204B8)         \
    X(MovieAudioExtractionSetProperty, 0x000204B9)         \
    /* fixed-point arithmetic, 0x01-0x12 */                \
    X(FixRound, 0x00100003)                                \
    /* Gestalt, 0x01-0x07 */                               \
    X(Gestalt, 0x00110001)                                 \
    /* Memory Manager, 0x02-0x84 */                        \
    X(NewPtr, 0x00150002)                                  \
    X(DisposePtr, 0x00150003)                              \
    X(NewPtrClear, 0x00150004)                             \
    X(GetPtrSize, 0x00150005)                              \
    X(NewHandle, 0x00150008)                               \
    X(NewHandleClear, 0x00150009)                          \
    X(GetHandleSize, 0x0015000A)                           \
    X(SetHandleSize, 0x0015000B)                           \
    X(MemError, 0x00150010)                                \
    X(HLock, 0x00150019)                                   \
    X(HUnlock, 0x0015001A)                                 \
    X(BlockMove, 0x00150020)                               \
    X(BlockMoveData, 0x00150021)                           \
    X(MoveHHi, 0x0015002E)                                 \
    X(DisposeHandle, 0x00150032)                           \
    /* QTML graphics bridge, 0x01-0x20 */                  \
    X(NewGWorldFromHBITMAP, 0x00170001)                    \
    /* offscreen graphics worlds, 0x01-0x19 */             \
    X(DisposeGWorld, 0x001C0005)                           \
    X(GetGWorldDevice, 0x001C0013)                         \
    /* QTML runtime, 0x01-0x5B */                          \
    X(NativePathNameToFSSpec, 0x001D002E)                  \
    /* QuickDraw, 0x02-0xE4 */                             \
    X(MacOffsetRect, 0x001E0026)                           \
    /* Sound Manager and sound converter, 0x03-0x41 */     \
    X(SoundConverterOpen, 0x00250027)                      \
    X(SoundConverterClose, 0x00250028)                     \
    X(SoundConverterGetBufferSizes, 0x00250029)            \
    X(SoundConverterBeginConversion, 0x0025002A)           \
    X(SoundConverterConvertBuffer, 0x0025002B)             \
    X(SoundConverterEndConversion, 0x0025002C)             \
    X(SoundConverterSetInfo, 0x0025002D)                   \
    X(SoundConverterGetInfo, 0x0025002E)                   \
    X(SoundConverterFillBuffer, 0x00250030)                \
    X(NewSoundConverterFillBufferDataUPP, 0x00250031)      \
    X(DisposeSoundConverterFillBufferDataUPP, 0x00250032)

#define QT_INTERNAL_ROUTINES(X)                            \
    X(CallComponentDispatch, 0x00010000)                   \
    X(X2Fix, 0x00100011)                                   \
    X(Fix2X, 0x00100012)                                   \
    X(InitializeQTML, 0x001D0008)                          \
    X(TerminateQTML, 0x001D0009)                           \
    X(IsQTMLInitialized, 0x001D0059)

#define QT_SELECTOR_GROUP(selector) (((selector) >> 16) & 0xFFFF)

#ifndef __ASSEMBLER__
#include <cstdint>

enum QuickTimeSelector : uint32_t {
#define QT_SELECTOR_ENUM(name, selector) kQTSel_##name = selector,
    QT_PUBLIC_ROUTINES(QT_SELECTOR_ENUM) QT_INTERNAL_ROUTINES(QT_SELECTOR_ENUM)
#undef QT_SELECTOR_ENUM
};

// Component routine numbers ('what' of ComponentParameters).
enum : int16_t {
    kComponentCanDoSelect = -3,
    kComponentVersionSelect = -4,
    kComponentGetComponentPropertyInfoSelect = -11,
    kComponentGetComponentPropertySelect = -12,
    kComponentSetComponentPropertySelect = -13,
    kSCAudioFillBufferSelect = 130,
};

// A not-bound call answers with the selector's group in the high half.
constexpr uint32_t QuickTimeNotBoundResult(uint32_t selector)
{
    return (selector & 0xFFFF0000u) | 0xF7D1u;
}
#endif

#endif
