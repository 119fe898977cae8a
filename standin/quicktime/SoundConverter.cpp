// The sound converter: decodes one sound description's bytes with the engine's codecs and
// converts them to the output PCM ('NONE': little-endian signed interleaved, 8 bits
// unsigned). Input counts in the input format's units: sample frames for uncompressed and
// companded sound, packets of 64 frames for ima4. Linear PCM converts straight from the
// caller's bytes; compressed input is decoded into a scratch block allocated at open, where
// decoded frames the output had no room for wait. The formats of the decoder chain (AAC
// configured by the 'esds' in 'wave', MPEG audio, Opus, ALAC ...) go to a packet decoder, its
// decoder made at the first packet: their input comes through the fill callback in packets of
// the record's common frame size.
#include <cmath>
#include <cstring>
#include <mutex>

#include "HandleHeap.h"
#include "description.h"
#include "packetdecoder.h"
#include "MovieObjects.h"
#include "RoutineTable.h"

namespace {

constexpr OSType siVBR = QTFourCC("cvbr"), siDecompressionParams = QTFourCC("wave");
constexpr UInt32 kSoundConverterDidntFillBuffer = 0x1, kSoundConverterHasLeftOverData = 0x2;
constexpr SInt32 kExtendedSoundData = 0x4000, kExtendedSoundBufferSizeValid = 0x2;
constexpr uint32_t kBlockFrames = 4096;    // decoded frames per step
constexpr size_t kMaxWaveBytes = 4096;     // an atom list without a known size
constexpr int kMaxEmptyInputs = 64;        // callbacks that return no bytes before giving up
constexpr SInt32 kExtendedSoundCommonFrameSizeValid = 0x8;

struct QtsSoundConverter {
    std::mutex lock;  // guards everything below
    qte::SampleDescription description;  // what SoundConverterOpen and 'wave' say of the input
    qte::AudioFormat decoded, output;
    qte::Converter converter;
    qte::CodecState codec;  // ima4's predictor from one packet to the next
    uint32_t unitFrames = 1, unitBytes = 0;  // one input unit: a frame, or an ima4 packet
    bool linear = false;                     // the input is PCM already: no decoding step
    bool variableBitRate = false;
    std::vector<uint8_t> scratch;  // decoded frames of the current block
    uint32_t scratchFrames = 0, scratchUsed = 0;
    const uint8_t *input = nullptr;  // the fill callback's bytes not yet decoded
    size_t inputBytes = 0;
    // The decoder chain's formats; the codec is known once configured ('mp4a' waits for its
    // 'esds').
    bool systemCodec = false;
    qte::PacketDecoder packets;
    size_t packetBytes = 0;      // the input's packet size; 0: the whole input is one packet
};

QtsObjectTable<QtsSoundConverter> &Converters()
{
    static QtsObjectTable<QtsSoundConverter> table(0x00A60010);
    return table;
}

bool OutputFormat(const SoundComponentData &d, qte::AudioFormat *f)
{
    const OSType t = d.format;
    if (t != QTFourCC("NONE") && t != QTFourCC("sowt") && t != QTFourCC("twos") &&
        t != QTFourCC("raw "))
        return false;
    f->sampleRate = d.sampleRate / 65536.0;
    f->channels = UInt16(d.numChannels);
    f->bits = UInt16(d.sampleSize);
    f->isFloat = false;
    f->isSigned = !(f->bits == 8 && (t == QTFourCC("NONE") || t == QTFourCC("raw ")));
    f->bigEndian = t == QTFourCC("twos") || (t == QTFourCC("raw ") && f->bits > 8);
    f->interleaved = true;
    return f->channels >= 1 && f->channels <= 32 && f->sampleRate > 0 &&
           (f->bits == 8 || f->bits == 16 || f->bits == 24 || f->bits == 32);
}

// Works out the decoded format and the input unit from the description; the converter is
// set up again for it.
OSErr ConfigureSystemCodec(QtsSoundConverter &sc)
{
    // A codec configured by an atom ('esds', 'dOps' ...) waits for the 'wave' list that holds it.
    const qte::Err err = sc.packets.configure(sc.description, nullptr, 0);
    if (err != qte::noErr)
        return sc.description.atoms.empty() ? noErr : QtsOSErr(err);
    sc.decoded = sc.packets.codec().output;
    sc.unitFrames = 1;
    sc.unitBytes = 1;
    sc.linear = false;
    sc.output.sampleRate = sc.output.sampleRate > 0 ? sc.output.sampleRate : sc.decoded.sampleRate;
    const qte::Err set = sc.converter.setFormats(sc.decoded, sc.output);
    if (set != qte::noErr)
        return QtsOSErr(set);
    try {
        sc.scratch.resize(size_t(kBlockFrames) * sc.decoded.bytesPerFrame());
    } catch (...) {
        return memFullErr;
    }
    sc.scratchFrames = sc.scratchUsed = 0;
    return noErr;
}

OSErr Configure(QtsSoundConverter &sc)
{
    if (sc.systemCodec)
        return ConfigureSystemCodec(sc);
    uint32_t realBits = 0;
    const qte::Err err = qte::decodedFormat(sc.description, &sc.decoded, &realBits);
    if (err != qte::noErr)
        return QtsOSErr(err);
    const OSType t = sc.description.format;
    if (t == QTFourCC("ima4")) {
        sc.unitFrames = 64;
        sc.unitBytes = 34 * sc.decoded.channels;
    } else if (t == QTFourCC("ulaw") || t == QTFourCC("alaw")) {
        sc.unitFrames = 1;
        sc.unitBytes = sc.decoded.channels;
    } else {
        sc.unitFrames = 1;
        sc.unitBytes = sc.decoded.bytesPerFrame();
    }
    sc.linear = t != QTFourCC("ima4") && t != QTFourCC("ulaw") && t != QTFourCC("alaw");
    sc.output.sampleRate = sc.output.sampleRate > 0 ? sc.output.sampleRate : sc.decoded.sampleRate;
    const qte::Err set = sc.converter.setFormats(sc.decoded, sc.output);
    if (set != qte::noErr)
        return QtsOSErr(set);
    try {
        sc.scratch.resize(size_t(kBlockFrames + 64) * sc.decoded.bytesPerFrame());
    } catch (...) {
        return memFullErr;
    }
    sc.scratchFrames = sc.scratchUsed = 0;
    sc.codec.valid = false;
    return noErr;
}

// The 'wave' atom's contents: an 'enda' atom marks the samples little-endian, and the codec's
// configuration ('esds' ...) is among them. The list ends at its terminator atom, at the
// pointer block's end, or at a cap.
OSErr ApplyDecompressionParams(QtsSoundConverter &sc, const uint8_t *atoms)
{
    Size blockSize;
    const size_t limit = QtsGetPtrSize(reinterpret_cast<Ptr>(const_cast<uint8_t *>(atoms)), &blockSize) == noErr
                             ? size_t(blockSize)
                             : kMaxWaveBytes;
    qte::SampleDescription params;
    params.littleEndian = sc.description.littleEndian;
    const qte::Err err = qte::setExtensionAtoms(params, atoms, qte::atomListBytes(atoms, limit));
    if (err != qte::noErr)
        return QtsOSErr(err);
    sc.description.littleEndian = params.littleEndian;
    if (sc.systemCodec) {
        sc.description.stored = std::move(params.stored);
        sc.description.atoms = std::move(params.atoms);
    }
    return noErr;
}

// The packet decoder's next frames into the scratch block, taking packets from the input as it
// asks for them; none when it needs more input than there is.
OSErr DecodePackets(QtsSoundConverter &sc, const uint8_t *&in, size_t &inBytes)
{
    qte::PacketDecoder &p = sc.packets;
    if (!p.configured())
        return cantFindHandler;
    if (!p.started() || (p.drained() && inBytes)) {
        const qte::Err made = p.start();
        if (made != qte::noErr)
            return QtsOSErr(made);
    }
    sc.scratchFrames = sc.scratchUsed = 0;
    for (;;) {
        uint32_t frames = 0;
        const qte::Err got = p.receive(sc.scratch.data(), kBlockFrames, &frames);
        if (got != qte::noErr)
            return QtsOSErr(got);
        if (frames) {
            sc.scratchFrames = frames;
            return noErr;
        }
        if (inBytes == 0)
            return noErr;
        const size_t packet = sc.packetBytes && sc.packetBytes < inBytes ? sc.packetBytes : inBytes;
        const qte::Err sent = p.send(in, packet, p.codec().framesPerPacket);
        in += packet;
        inBytes -= packet;
        if (sent != qte::noErr)
            return QtsOSErr(sent);
    }
}

// Decodes and converts from `in` until the output is full or the input and the scratch run
// out. Returns the output frames made; `in`/`inBytes` advance past what was decoded.
OSErr Pump(QtsSoundConverter &sc, const uint8_t *&in, size_t &inBytes, uint8_t *out,
           uint32_t outCap, uint32_t *made)
{
    const size_t decodedFrameBytes = sc.decoded.bytesPerFrame();
    const size_t outFrameBytes = sc.output.bytesPerFrame();
    *made = 0;
    if (sc.linear) {
        // Linear PCM is converted straight from the caller's bytes.
        const void *inPlane[1] = {in};
        void *outPlane[1] = {out};
        uint32_t used = 0;
        const uint32_t frames = uint32_t(std::min<size_t>(inBytes / sc.unitBytes, 0x7FFFFFFF));
        const qte::Err err = sc.converter.convert(inPlane, frames, outPlane, outCap, &used, made);
        if (err != qte::noErr)
            return QtsOSErr(err);
        in += size_t(used) * sc.unitBytes;
        inBytes -= size_t(used) * sc.unitBytes;
        return noErr;
    }
    while (*made < outCap) {
        if (sc.scratchUsed == sc.scratchFrames && sc.systemCodec) {
            const OSErr err = DecodePackets(sc, in, inBytes);
            if (err != noErr)
                return err;
            if (sc.scratchFrames == 0)
                break;
        } else if (sc.scratchUsed == sc.scratchFrames) {
            const size_t units = std::min<size_t>(inBytes / sc.unitBytes, kBlockFrames / sc.unitFrames);
            if (units == 0)
                break;
            uint32_t frames = 0;
            size_t used = 0;
            const qte::Err err = qte::decodePackets(sc.description, in, units * sc.unitBytes,
                                                    sc.scratch.data(), sc.scratch.size(), &frames, &used,
                                                    &sc.codec);
            if (err != qte::noErr)
                return QtsOSErr(err);
            if (used == 0)
                break;
            in += used;
            inBytes -= used;
            sc.scratchFrames = frames;
            sc.scratchUsed = 0;
        }
        const void *inPlane[1] = {sc.scratch.data() + size_t(sc.scratchUsed) * decodedFrameBytes};
        void *outPlane[1] = {out + size_t(*made) * outFrameBytes};
        uint32_t used = 0, produced = 0;
        const qte::Err err = sc.converter.convert(inPlane, sc.scratchFrames - sc.scratchUsed,
                                                  outPlane, outCap - *made, &used, &produced);
        if (err != qte::noErr)
            return QtsOSErr(err);
        sc.scratchUsed += used;
        *made += produced;
        if (used == 0 && produced == 0)
            break;
    }
    return noErr;
}

// Output frames that `frames` input frames can make (the interpolation may add one).
uint64_t OutputFramesFor(const QtsSoundConverter &sc, uint64_t frames)
{
    if (sc.decoded.sampleRate == sc.output.sampleRate)
        return frames;
    return uint64_t(std::ceil(double(frames) * sc.output.sampleRate / sc.decoded.sampleRate)) + 1;
}

}  // namespace

extern "C" {

OSErr SoundConverterOpen(const SoundComponentData *inputFormat,
                         const SoundComponentData *outputFormat, SoundConverter *sc)
{
    if (!sc)
        return paramErr;
    *sc = nullptr;
    if (!inputFormat || !outputFormat || inputFormat->numChannels < 1 ||
        inputFormat->numChannels > 32 || inputFormat->sampleRate == 0)
        return paramErr;
    std::shared_ptr<QtsSoundConverter> converter;
    try {
        converter = std::make_shared<QtsSoundConverter>();
    } catch (...) {
        return memFullErr;
    }
    if (!OutputFormat(*outputFormat, &converter->output))
        return cantFindHandler;
    qte::SampleDescription &d = converter->description;
    d.kind = qte::Kind::sound;
    d.format = inputFormat->format;
    d.channels = UInt16(inputFormat->numChannels);
    d.sampleSize = UInt16(inputFormat->sampleSize);
    d.sampleRate = inputFormat->sampleRate / 65536.0;
    // 'NONE' is this runtime's native PCM; a bare 'lpcm' carries no flags, so it is taken
    // as packed signed little-endian integers of the sample size.
    d.littleEndian = d.format == QTFourCC("sowt") || d.format == QTFourCC("NONE");
    converter->systemCodec = qte::decoderDecodesSound(d);
    if (d.format == QTFourCC("lpcm")) {
        d.constBitsPerChannel = d.sampleSize;
        d.lpcmFlags = 0x4 | 0x8;
    }
    const OSErr err = Configure(*converter);
    if (err != noErr)
        return err;
    return Converters().Publish(converter, sc);
}

OSErr SoundConverterClose(SoundConverter sc)
{
    return Converters().Remove(sc) ? noErr : paramErr;
}

OSErr SoundConverterSetInfo(SoundConverter scRef, OSType selector, void *infoPtr)
{
    const std::shared_ptr<QtsSoundConverter> sc = Converters().Find(scRef);
    if (!sc)
        return paramErr;
    std::lock_guard<std::mutex> lock(sc->lock);
    if (selector == siVBR) {
        sc->variableBitRate = infoPtr != nullptr;  // the value travels in place of a pointer
        return noErr;
    }
    if (selector == siDecompressionParams) {
        if (!infoPtr)
            return paramErr;
        const qte::SampleDescription before = sc->description;
        OSErr err = ApplyDecompressionParams(*sc, static_cast<const uint8_t *>(infoPtr));
        if (err == noErr)
            err = Configure(*sc);
        if (err != noErr) {
            sc->description = before;
            Configure(*sc);
        }
        return err;
    }
    return siUnknownInfoType;
}

OSErr SoundConverterGetInfo(SoundConverter scRef, OSType selector, void *infoPtr)
{
    const std::shared_ptr<QtsSoundConverter> sc = Converters().Find(scRef);
    if (!sc || !infoPtr)
        return paramErr;
    std::lock_guard<std::mutex> lock(sc->lock);
    if (selector == siVBR) {
        *static_cast<Boolean *>(infoPtr) = sc->variableBitRate;
        return noErr;
    }
    return siUnknownInfoType;
}

OSErr SoundConverterBeginConversion(SoundConverter scRef)
{
    const std::shared_ptr<QtsSoundConverter> sc = Converters().Find(scRef);
    if (!sc)
        return paramErr;
    std::lock_guard<std::mutex> lock(sc->lock);
    sc->converter.reset();
    sc->codec.valid = false;
    sc->scratchFrames = sc->scratchUsed = 0;
    sc->input = nullptr;
    sc->inputBytes = 0;
    sc->packets.stop();  // a decoder cannot be reset: the next packet makes a new one
    return noErr;
}

OSErr SoundConverterEndConversion(SoundConverter scRef, void *, unsigned long *outputFrames,
                                  unsigned long *outputBytes)
{
    if (outputFrames)
        *outputFrames = 0;
    if (outputBytes)
        *outputBytes = 0;
    return Converters().Find(scRef) ? noErr : paramErr;
}

OSErr SoundConverterGetBufferSizes(SoundConverter scRef, unsigned long inputBytesTarget,
                                   unsigned long *inputFrames, unsigned long *inputBytes,
                                   unsigned long *outputBytes)
{
    const std::shared_ptr<QtsSoundConverter> sc = Converters().Find(scRef);
    if (!sc || !inputFrames || !inputBytes || !outputBytes)
        return paramErr;
    std::lock_guard<std::mutex> lock(sc->lock);
    if (sc->systemCodec)
        return paramErr;  // its packets vary in size: no frame count maps to bytes
    const uint64_t units = inputBytesTarget / sc->unitBytes;
    const uint64_t out = OutputFramesFor(*sc, units * sc->unitFrames) * sc->output.bytesPerFrame();
    if (out > 0xFFFFFFFFu)
        return paramErr;
    *inputFrames = (unsigned long)units;
    *inputBytes = (unsigned long)(units * sc->unitBytes);
    *outputBytes = (unsigned long)out;
    return noErr;
}

OSErr SoundConverterConvertBuffer(SoundConverter scRef, const void *inputPtr,
                                  unsigned long inputFrames, void *outputPtr,
                                  unsigned long *outputFrames, unsigned long *outputBytes)
{
    if (outputFrames)
        *outputFrames = 0;
    if (outputBytes)
        *outputBytes = 0;
    const std::shared_ptr<QtsSoundConverter> sc = Converters().Find(scRef);
    if (!sc || (!inputPtr && inputFrames) || !outputPtr)
        return paramErr;
    std::lock_guard<std::mutex> lock(sc->lock);
    if (sc->systemCodec)
        return paramErr;  // packets come through SoundConverterFillBuffer, which knows their size
    const uint64_t bytes = uint64_t(inputFrames) * sc->unitBytes;
    const uint64_t cap = OutputFramesFor(*sc, uint64_t(inputFrames) * sc->unitFrames);
    if (bytes > 0x7FFFFFFF || cap > 0x7FFFFFFF)
        return paramErr;
    const uint8_t *in = static_cast<const uint8_t *>(inputPtr);
    size_t left = size_t(bytes);
    uint32_t made = 0;
    const OSErr err = Pump(*sc, in, left, static_cast<uint8_t *>(outputPtr), uint32_t(cap), &made);
    if (outputFrames)
        *outputFrames = made;
    if (outputBytes)
        *outputBytes = made * sc->output.bytesPerFrame();
    return err;
}

OSErr SoundConverterFillBuffer(SoundConverter scRef, SoundConverterFillBufferDataUPP fillBufferDataUPP,
                               void *fillBufferDataRefCon, void *outputBuffer,
                               unsigned long outputBufferByteSize, unsigned long *bytesWritten,
                               unsigned long *framesWritten, unsigned long *outputFlags)
{
    if (bytesWritten)
        *bytesWritten = 0;
    if (framesWritten)
        *framesWritten = 0;
    if (outputFlags)
        *outputFlags = 0;
    const std::shared_ptr<QtsSoundConverter> sc = Converters().Find(scRef);
    if (!sc || !fillBufferDataUPP || !outputBuffer)
        return paramErr;
    std::lock_guard<std::mutex> lock(sc->lock);
    const size_t frameBytes = sc->output.bytesPerFrame();
    const uint32_t cap = uint32_t(std::min<unsigned long>(outputBufferByteSize / frameBytes, 0x7FFFFFFF));
    uint8_t *out = static_cast<uint8_t *>(outputBuffer);
    uint32_t total = 0;
    unsigned long flags = 0;
    int empty = 0;
    OSErr err = noErr;
    while (total < cap) {
        uint32_t made = 0;
        err = Pump(*sc, sc->input, sc->inputBytes, out + size_t(total) * frameBytes, cap - total, &made);
        total += made;
        if (err != noErr || total == cap)
            break;
        // The callback's data is the caller's until its next call; what remains undecoded
        // of it is less than one unit and cannot be used.
        SoundComponentDataPtr data = nullptr;
        if (!fillBufferDataUPP(&data, fillBufferDataRefCon) || !data) {
            sc->input = nullptr;
            sc->inputBytes = 0;
            if (sc->packets.started() && !sc->packets.drained()) {
                // The end of the input: what the decoder still holds comes out now.
                err = QtsOSErr(sc->packets.drain());
                if (err == noErr)
                    continue;
            }
            flags |= kSoundConverterDidntFillBuffer;
            break;
        }
        size_t bytes;
        const auto *extended = reinterpret_cast<const ExtendedSoundComponentData *>(data);
        if ((data->flags & kExtendedSoundData) && extended->recordSize >= SInt32(sizeof *extended) &&
            (extended->extendedFlags & kExtendedSoundBufferSizeValid))
            bytes = extended->bufferSize > 0 ? size_t(extended->bufferSize) : 0;
        else
            bytes = data->sampleCount > 0 ? size_t(data->sampleCount) / sc->unitFrames * sc->unitBytes : 0;
        sc->input = data->buffer;
        sc->inputBytes = data->buffer ? bytes : 0;
        sc->packetBytes = (data->flags & kExtendedSoundData) && extended->recordSize >= SInt32(sizeof *extended) &&
                                  (extended->extendedFlags & kExtendedSoundCommonFrameSizeValid) &&
                                  extended->commonFrameSize > 0
                              ? size_t(extended->commonFrameSize)
                              : 0;
        if (sc->inputBytes < sc->unitBytes && ++empty >= kMaxEmptyInputs) {
            flags |= kSoundConverterDidntFillBuffer;
            break;
        }
    }
    if (sc->inputBytes >= sc->unitBytes || sc->scratchUsed < sc->scratchFrames)
        flags |= kSoundConverterHasLeftOverData;
    if (bytesWritten)
        *bytesWritten = total * frameBytes;
    if (framesWritten)
        *framesWritten = total;
    if (outputFlags)
        *outputFlags = flags;
    return err;
}

SoundConverterFillBufferDataUPP NewSoundConverterFillBufferDataUPP(SoundConverterFillBufferDataProcPtr userRoutine)
{
    return userRoutine;  // the procedure is called directly, no glue needed on this platform
}

void DisposeSoundConverterFillBufferDataUPP(SoundConverterFillBufferDataUPP) {}

}  // extern "C"

namespace {
const QtsRoutine kSoundConverterRoutines[] = {
    QTS_ROUTINE(SoundConverterOpen),
    QTS_ROUTINE(SoundConverterClose),
    QTS_ROUTINE(SoundConverterSetInfo),
    QTS_ROUTINE(SoundConverterGetInfo),
    QTS_ROUTINE(SoundConverterBeginConversion),
    QTS_ROUTINE(SoundConverterEndConversion),
    QTS_ROUTINE(SoundConverterGetBufferSizes),
    QTS_ROUTINE(SoundConverterConvertBuffer),
    QTS_ROUTINE(SoundConverterFillBuffer),
    QTS_ROUTINE(NewSoundConverterFillBufferDataUPP),
    QTS_ROUTINE(DisposeSoundConverterFillBufferDataUPP),
};
QTS_REGISTER_ROUTINES(kSoundConverterRoutines);
}  // namespace
