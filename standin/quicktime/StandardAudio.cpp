// The standard audio compression component ('scdi'/'audi'), as a linear-PCM converter: its
// 'scda' properties set the input and output descriptions; SCAudioFillBuffer pulls input
// through the caller's procedure, offering no buffer so that the caller lends its own (planar
// input excepted), and converts straight into the caller's output buffers.
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "AudioFormats.h"
#include "ComponentManager.h"
#include "EngineErrors.h"
#include "quicktime/QuickTimeSelectors.h"

namespace {

constexpr ComponentPropertyClass kStandardAudioClass = QTFourCC("scda");
constexpr ComponentPropertyID kInputDescription = QTFourCC("isbd"),
                              kInputLayout = QTFourCC("icly"),
                              kOutputDescription = QTFourCC("osbd");
constexpr UInt32 kCanGet = 1, kCanSet = 2;
constexpr UInt32 kMaxPlanes = 32;
constexpr size_t kMaxLayoutBytes = 12 + 20 * kMaxPlanes;
constexpr UInt32 kPlaneFrames = 4096;  // frames of planar input asked for at a time

template <typename T>
T *SlotPointer(ComponentParamSlot slot)
{
    return reinterpret_cast<T *>(slot);
}

class StandardAudio final : public QtsComponent {
public:
    bool Implements(SInt16 what) const override
    {
        return what == kComponentGetComponentPropertyInfoSelect ||
               what == kComponentGetComponentPropertySelect ||
               what == kComponentSetComponentPropertySelect || what == kSCAudioFillBufferSelect;
    }

    ComponentResult Call(SInt16 what, const ComponentParamSlot *slots, size_t count) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        switch (what) {
        case kComponentGetComponentPropertyInfoSelect:
            if (count < 5)
                return paramErr;
            return PropertyInfo(OSType(slots[0]), OSType(slots[1]), SlotPointer<OSType>(slots[2]),
                                SlotPointer<ByteCount>(slots[3]), SlotPointer<UInt32>(slots[4]));
        case kComponentGetComponentPropertySelect:
            if (count < 5)
                return paramErr;
            return GetProperty(OSType(slots[0]), OSType(slots[1]), ByteCount(uint32_t(slots[2])),
                               SlotPointer<void>(slots[3]), SlotPointer<ByteCount>(slots[4]));
        case kComponentSetComponentPropertySelect:
            if (count < 4)
                return paramErr;
            // The input procedure may read properties, never change them mid-fill.
            if (m_filling)
                return paramErr;
            return SetProperty(OSType(slots[0]), OSType(slots[1]), ByteCount(uint32_t(slots[2])),
                               SlotPointer<const void>(slots[3]));
        case kSCAudioFillBufferSelect:
            if (count < 5 || m_filling)
                return paramErr;
            return FillBuffer(reinterpret_cast<SCAudioInputDataProc>(slots[0]),
                              SlotPointer<void>(slots[1]), SlotPointer<UInt32>(slots[2]),
                              SlotPointer<AudioBufferList>(slots[3]));
        default:
            return badComponentSelector;
        }
    }

private:
    ComponentResult PropertyInfo(ComponentPropertyClass propClass, ComponentPropertyID id,
                                 OSType *type, ByteCount *size, UInt32 *flags) const
    {
        if (propClass != kStandardAudioClass)
            return kQTPropertyNotSupportedErr;
        ByteCount bytes;
        if (id == kInputDescription || id == kOutputDescription)
            bytes = sizeof(AudioStreamBasicDescription);
        else if (id == kInputLayout)
            bytes = m_layoutSize;
        else
            return kQTPropertyNotSupportedErr;
        if (type)
            *type = id == kInputLayout ? QTFourCC("clay") : QTFourCC("asbd");
        if (size)
            *size = bytes;
        if (flags)
            *flags = kCanGet | kCanSet;
        return noErr;
    }

    ComponentResult GetProperty(ComponentPropertyClass propClass, ComponentPropertyID id,
                                ByteCount size, void *value, ByteCount *used) const
    {
        if (propClass != kStandardAudioClass)
            return kQTPropertyNotSupportedErr;
        if (!value)
            return paramErr;
        if (id == kInputDescription || id == kOutputDescription) {
            if (size < sizeof(AudioStreamBasicDescription))
                return kQTPropertyBadValueSizeErr;
            const AudioStreamBasicDescription d = id == kInputDescription ? m_inDescription
                                                                          : m_outDescription;
            std::memcpy(value, &d, sizeof d);
            if (used)
                *used = sizeof d;
            return noErr;
        }
        if (id == kInputLayout) {
            if (size < m_layoutSize || m_layoutSize == 0)
                return kQTPropertyBadValueSizeErr;
            std::memcpy(value, m_layout, m_layoutSize);
            if (used)
                *used = m_layoutSize;
            return noErr;
        }
        return kQTPropertyNotSupportedErr;
    }

    ComponentResult SetProperty(ComponentPropertyClass propClass, ComponentPropertyID id,
                                ByteCount size, const void *value)
    {
        if (propClass != kStandardAudioClass ||
            (id != kInputDescription && id != kOutputDescription && id != kInputLayout))
            return kQTPropertyNotSupportedErr;
        if (!value)
            return paramErr;
        if (id == kInputLayout) {
            const auto *layout = static_cast<const AudioChannelLayout *>(value);
            if (size < QtsChannelLayoutSize(0) || size > kMaxLayoutBytes ||
                size < QtsChannelLayoutSize(layout->mNumberChannelDescriptions))
                return kQTPropertyBadValueSizeErr;
            std::memcpy(m_layout, value, size);
            m_layoutSize = size;
            return noErr;
        }
        if (size != sizeof(AudioStreamBasicDescription))
            return kQTPropertyBadValueSizeErr;
        AudioStreamBasicDescription d;
        std::memcpy(&d, value, sizeof d);
        qte::AudioFormat format;
        if (!QtsFormatFromDescription(d, &format))
            return paramErr;
        qte::AudioFormat &target = id == kInputDescription ? m_in : m_out;
        const qte::AudioFormat previous = target;
        const bool hadIt = id == kInputDescription ? m_haveIn : m_haveOut;
        target = format;
        if ((id == kInputDescription || m_haveIn) && (id == kOutputDescription || m_haveOut)) {
            const qte::Err err = m_converter.setFormats(m_in, m_out);
            if (err != qte::noErr) {
                target = previous;
                if (hadIt && m_haveIn && m_haveOut)
                    m_converter.setFormats(m_in, m_out);
                return QtsOSErr(err);
            }
        }
        if (id == kInputDescription) {
            try {
                // Planar input gets planes of its own (see FillBuffer); set once, here.
                const bool planar = !format.interleaved && format.channels > 1;
                m_planes.assign(planar ? size_t(kPlaneFrames) * format.bytesPerFrame() * format.channels : 0, 0);
            } catch (...) {
                target = previous;
                return memFullErr;
            }
        }
        (id == kInputDescription ? m_inDescription : m_outDescription) = d;
        (id == kInputDescription ? m_haveIn : m_haveOut) = true;
        m_pendingFrames = 0;
        return noErr;
    }

    // Pulls input until the output holds the packets asked for or the input ends. Input
    // that the output had no room for stays lent by the caller until its next call.
    ComponentResult FillBuffer(SCAudioInputDataProc proc, void *user, UInt32 *ioPackets,
                               AudioBufferList *out)
    {
        if (!proc || !ioPackets || !out || !m_haveIn || !m_haveOut)
            return paramErr;
        const UInt32 outPlanes = m_out.interleaved ? 1 : m_out.channels;
        const UInt32 outFrameBytes = m_out.bytesPerFrame();
        UInt32 wanted = *ioPackets;
        if (out->mNumberBuffers < outPlanes)
            return paramErr;
        uint8_t *outData[kMaxPlanes];
        for (UInt32 i = 0; i < outPlanes; ++i) {
            AudioBuffer &b = QtsBuffer(*out, i);
            if (!b.mData)
                return paramErr;
            outData[i] = static_cast<uint8_t *>(b.mData);
            if (b.mDataByteSize / outFrameBytes < wanted)
                wanted = b.mDataByteSize / outFrameBytes;
        }
        const UInt32 inPlanes = m_in.interleaved ? 1 : m_in.channels;
        const UInt32 inFrameBytes = m_in.bytesPerFrame();
        UInt32 produced = 0;
        ComponentResult status = noErr;
        m_filling = true;
        while (produced < wanted) {
            if (m_pendingFrames == 0) {
                // Interleaved input is asked for with no buffer, so that the caller lends its
                // own. A caller lends one buffer, which cannot hold several planes: planar
                // input is asked for into the component's planes.
                ListOfPlanes request;
                request.list.mNumberBuffers = inPlanes;
                const bool planar = !m_planes.empty();
                const UInt32 planeBytes = kPlaneFrames * inFrameBytes;
                for (UInt32 i = 0; i < inPlanes; ++i)
                    QtsBuffer(request.list, i) = {m_in.interleaved ? m_in.channels : 1,
                                                  planar ? planeBytes : 0,
                                                  planar ? m_planes.data() + size_t(i) * planeBytes : nullptr};
                const double ratio = m_in.sampleRate / m_out.sampleRate;
                UInt32 packets = UInt32((wanted - produced) * ratio) + 1;
                if (planar && packets > kPlaneFrames)
                    packets = kPlaneFrames;
                AudioStreamPacketDescription *descriptions = nullptr;
                // The manager does not tell a component its own instance number.
                status = proc(nullptr, &packets, &request.list, &descriptions, user);
                if (status != noErr || packets == 0)
                    break;
                for (UInt32 i = 0; i < inPlanes; ++i) {
                    const AudioBuffer &b = QtsBuffer(request.list, i);
                    if (i >= request.list.mNumberBuffers || !b.mData) {
                        packets = 0;
                        break;
                    }
                    if (b.mDataByteSize / inFrameBytes < packets)
                        packets = b.mDataByteSize / inFrameBytes;
                    m_pending[i] = static_cast<const uint8_t *>(b.mData);
                }
                if (packets == 0)
                    break;
                m_pendingFrames = packets;
            }
            void *outPlanesAt[kMaxPlanes];
            for (UInt32 i = 0; i < outPlanes; ++i)
                outPlanesAt[i] = outData[i] + size_t(produced) * outFrameBytes;
            const void *inPlanesAt[kMaxPlanes];
            for (UInt32 i = 0; i < inPlanes; ++i)
                inPlanesAt[i] = m_pending[i];
            uint32_t used = 0, made = 0;
            const qte::Err err = m_converter.convert(inPlanesAt, m_pendingFrames, outPlanesAt,
                                                     wanted - produced, &used, &made);
            if (err != qte::noErr) {
                status = QtsOSErr(err);
                break;
            }
            for (UInt32 i = 0; i < inPlanes; ++i)
                m_pending[i] += size_t(used) * inFrameBytes;
            m_pendingFrames -= used;
            produced += made;
            if (used == 0 && made == 0)
                break;
        }
        m_filling = false;
        *ioPackets = produced;
        for (UInt32 i = 0; i < outPlanes; ++i)
            QtsBuffer(*out, i).mDataByteSize = produced * outFrameBytes;
        // What was made is delivered; an input error with nothing made is the caller's.
        return produced ? noErr : status;
    }

    struct ListOfPlanes {
        AudioBufferList list;
        AudioBuffer buffers[kMaxPlanes];  // continues list.mBuffers
    };
    static_assert(offsetof(ListOfPlanes, buffers) == sizeof(AudioBufferList),
                  "the planes follow the list's first buffer");

    std::recursive_mutex m_lock;  // guards everything below; the input procedure runs under it
    bool m_filling = false;       // inside the input procedure
    bool m_haveIn = false, m_haveOut = false;
    qte::AudioFormat m_in, m_out;
    AudioStreamBasicDescription m_inDescription = {}, m_outDescription = {};
    uint8_t m_layout[kMaxLayoutBytes] = {};
    size_t m_layoutSize = 0;
    qte::Converter m_converter;
    const uint8_t *m_pending[kMaxPlanes] = {};  // the caller's input not yet converted
    UInt32 m_pendingFrames = 0;
    std::vector<uint8_t> m_planes;  // planar input's planes, kPlaneFrames each; else empty
};

std::unique_ptr<QtsComponent> MakeStandardAudio()
{
    return std::unique_ptr<QtsComponent>(new (std::nothrow) StandardAudio);
}

}  // namespace

QTS_REGISTER_COMPONENT(StandardAudio, QTFourCC("scdi"), QTFourCC("audi"), MakeStandardAudio);
