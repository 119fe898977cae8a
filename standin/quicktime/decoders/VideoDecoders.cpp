// Video decoders of the system: the first Media Foundation transform that takes the track's
// format (H.264 on Wine; more on Windows), and WIC for JPEG. Pictures come out as 4:2:0 YUV in
// the transform's own buffer (NV12 first, else I420 or YV12; I420 first from Wine's, whose
// decoder makes it), or as B,G,R rows for JPEG.
//
// Wine's transforms decode through GStreamer, whose pipeline converts every picture it takes for
// another colour than BT.601 limited range (BT.709, full range, or a stream of 720 lines or more
// that does not say) into BT.601 limited, resampling its chroma: that costs more than decoding
// and loses detail. The H.264 parameter sets fed to them therefore say BT.601 limited, which
// leaves the pictures as decoded, and the engine converts them as the stream says; pictures of
// other formats, or of a stream whose parameter sets cannot be rewritten, say they were
// converted. They also need three workarounds (platform notes): the output type is set again
// after the stream change that comes before the first picture; draining does nothing there, so
// the end of a stream feeds copies of the first unit under a time no real unit has until every
// real picture is out (their pictures are dropped); and a picture-size change inside a stream
// fails, which the engine avoids by making a new decoder for a new description.
#include <wincodec.h>
#include <mferror.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "MediaFoundation.h"
#include "WindowsDecoders.h"

namespace {

constexpr LONGLONG kDrainTime = LONGLONG(1) << 60;  // no real unit's time tag comes near it
constexpr int kMaxDrainUnits = 16;                  // copies fed at the end before giving up
constexpr size_t kInputSamples = 8;                 // units the transform may still hold
// Whether a transform is Wine's (winegstreamer.dll): its pictures come in BT.601 limited range.
bool IsGStreamerTransform(IMFTransform *transform)
{
    HMODULE module = nullptr;
    const void *code = *reinterpret_cast<void *const *>(transform);  // its table of methods
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(code), &module))
        return false;
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    const wchar_t *name = wcsrchr(path, L'\\');
    return lstrcmpiW(name ? name + 1 : path, L"winegstreamer.dll") == 0;
}

// An output sample and its buffer, locked while its picture is out.
struct OutputSlot final : qte::PictureSlot {
    ComRef<IMFSample> sample;
    ComRef<IMFMediaBuffer> buffer;
    DWORD bytes = 0;
    bool locked = false;
    ~OutputSlot() override { released(); }
    void released() noexcept override
    {
        if (locked && buffer)
            buffer->Unlock();
        locked = false;
    }
    // A sample of at least `size` bytes (made again for a larger output, never per picture).
    bool Fit(DWORD size)
    {
        if (sample && bytes >= size)
            return true;
        sample.Reset();
        buffer.Reset();
        bytes = 0;
        if (FAILED(MFCreateMemoryBuffer(size, buffer.Out())) || FAILED(MFCreateSample(sample.Out())) ||
            FAILED(sample->AddBuffer(buffer.Get())))
            return false;
        bytes = size;
        return true;
    }
};

// An input sample with a buffer of its own; free for reuse when the transform let it go.
struct InputUnit {
    ComRef<IMFSample> sample;
    ComRef<IMFMediaBuffer> buffer;
    DWORD capacity = 0;
    bool Free() const
    {
        sample->AddRef();
        return sample->Release() == 1;
    }
};

class TransformVideoDecoder final : public qte::VideoDecoder {
public:
    qte::Err Start(const qte::VideoCodec &codec, ComRef<IMFTransform> transform)
    {
        m_transform = std::move(transform);
        m_codec = codec;
        m_inputs.reserve(kInputSamples);  // input units are made as the transform holds more, never moved
        m_pool.reserve<OutputSlot>(qte::PicturePool::kUsualSlots, [] { return std::unique_ptr<OutputSlot>(new OutputSlot); });
        m_gstreamer = IsGStreamerTransform(m_transform.Get());
        m_rewriteSps = m_gstreamer && codec.id == qte::CodecId::h264;
        m_reencoded = m_gstreamer && !m_rewriteSps;
        ComRef<IMFMediaType> input;
        if (FAILED(MFCreateMediaType(input.Out())) ||
            FAILED(input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video)) ||
            FAILED(input->SetGUID(MF_MT_SUBTYPE, *SystemSubtypesOf(codec.id).subtypes[0])) ||
            FAILED(MFSetAttributeSize(input.Get(), MF_MT_FRAME_SIZE, codec.width, codec.height)) ||
            FAILED(m_transform->SetInputType(0, input.Get(), 0)))
            return qte::cantFindHandler;
        if (!ChooseOutput())
            return qte::cantFindHandler;
        m_transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
        m_transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
        return qte::noErr;
    }

    ~TransformVideoDecoder() override
    {
        if (m_transform)
            m_transform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
    }

    qte::Err send(const uint8_t *data, size_t size, int64_t time) override
    {
        if (!data || size == 0 || size > 0x7FFFFFFF || time < 0)
            return qte::paramErr;
        if (m_rewriteSps && RewriteParameterSets(data, size)) {
            data = m_unit.data();
            size = m_unitBytes;
        }
        if (m_first.empty())
            m_first.assign(data, data + size);  // fed again to push the last pictures out
        const qte::Err err = Feed(data, DWORD(size), time);
        if (err == qte::noErr)
            ++m_realIn;
        return err;
    }

    qte::Err receive(qte::Picture *out, bool *got) override
    {
        *got = false;
        if (m_outputBytes == 0)
            return qte::badImageDescription;
        for (int attempt = 0; attempt < 4 + kMaxDrainUnits; ++attempt) {
            if (m_held && RetryHeld() != qte::noErr)
                return qte::noErr;
            // A slot no picture holds; a stream change may ask for larger ones.
            OutputSlot *slot =
                m_pool.takeOrMake<OutputSlot>([] { return std::unique_ptr<OutputSlot>(new OutputSlot); });
            if (!slot)
                return qte::memFullErr;
            if (!slot->Fit(m_outputBytes)) {
                m_pool->giveBack(slot);
                return qte::memFullErr;
            }
            MFT_OUTPUT_DATA_BUFFER output = {};
            output.pSample = slot->sample.Get();
            DWORD status = 0;
            const HRESULT hr = m_transform->ProcessOutput(0, 1, &output, &status);
            if (output.pEvents)
                output.pEvents->Release();
            LONGLONG time = 0;
            if (FAILED(hr) || FAILED(slot->sample->GetSampleTime(&time)) || time >= kDrainTime) {
                m_pool->giveBack(slot);  // no picture came out in it
                if (SUCCEEDED(hr))
                    continue;  // a copy fed at the end: not a real picture
            }
            if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
                if (!ChooseOutput())
                    return qte::badImageDescription;
                continue;
            }
            if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) {
                if (m_held)
                    continue;
                // Draining: another copy of the first unit pushes the held pictures on.
                if (m_draining && m_realOut < m_realIn && m_drainUnits < kMaxDrainUnits && !m_first.empty()) {
                    ++m_drainUnits;
                    if (Feed(m_first.data(), DWORD(m_first.size()), kDrainTime) == qte::noErr)
                        continue;
                }
                return qte::noErr;
            }
            if (FAILED(hr))
                return qte::badImageDescription;
            ++m_realOut;
            return Expose(*slot, time, out, got);
        }
        return qte::noErr;
    }

    qte::Err drain() override
    {
        m_draining = true;
        m_transform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
        m_transform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
        return qte::noErr;
    }

private:
    // Sets the first 4:2:0 output the transform offers, NV12 first, and makes the output sample
    // for its size. Runs at the start and at each stream change, never per picture.
    bool ChooseOutput()
    {
        static const GUID *const kWanted[] = {&MFVideoFormat_NV12, &MFVideoFormat_I420,
                                               &MFVideoFormat_IYUV, &MFVideoFormat_YV12};
        // Wine's GStreamer decoder makes I420: any other layout costs a conversion per picture.
        static const GUID *const kWantedFromGStreamer[] = {&MFVideoFormat_I420, &MFVideoFormat_IYUV,
                                                            &MFVideoFormat_NV12, &MFVideoFormat_YV12};
        for (const GUID *wanted : m_gstreamer ? kWantedFromGStreamer : kWanted) {
            for (DWORD i = 0;; ++i) {
                ComRef<IMFMediaType> type;
                if (FAILED(m_transform->GetOutputAvailableType(0, i, type.Out())))
                    break;
                GUID subtype = GUID_NULL;
                if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != *wanted)
                    continue;
                if (FAILED(m_transform->SetOutputType(0, type.Get(), 0)))
                    continue;
                UINT32 width = 0, height = 0;
                if (FAILED(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height)) || !width || !height)
                    return false;
                UINT32 stride = 0;
                if (FAILED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)) || int32_t(stride) <= 0)
                    stride = width;
                m_layout = subtype == MFVideoFormat_NV12 ? qte::YuvLayout::nv12 : qte::YuvLayout::planar;
                m_yv12 = subtype == MFVideoFormat_YV12;
                m_width = int32_t(width);
                m_height = int32_t(height);
                m_stride = int32_t(stride);
                return MakeOutputSample();
            }
        }
        return false;
    }

    // The size of the output samples for the output type set (the slots grow to it as they are
    // used again; pictures of the stream before stay valid in theirs).
    bool MakeOutputSample()
    {
        MFT_OUTPUT_STREAM_INFO info = {};
        if (FAILED(m_transform->GetOutputStreamInfo(0, &info)))
            return false;
        if (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES))
            return false;  // every transform of this kind wants the caller's buffers
        m_outputBytes = std::max<DWORD>(info.cbSize, DWORD(m_stride) * DWORD(m_height) * 3 / 2);
        return true;
    }

    // A free input sample holding the unit, given to the transform; one it cannot take yet is
    // held and given again once a picture has come out.
    qte::Err Feed(const uint8_t *data, DWORD size, LONGLONG time)
    {
        InputUnit *unit = nullptr;
        for (InputUnit &u : m_inputs)
            if (u.sample && u.sample.Get() != m_held && u.Free()) {
                unit = &u;
                break;
            }
        if (!unit) {
            if (m_inputs.size() >= kInputSamples)
                return qte::memFullErr;
            m_inputs.emplace_back();
            unit = &m_inputs.back();
            if (FAILED(MFCreateSample(unit->sample.Out())))
                return qte::memFullErr;
        }
        if (unit->capacity < size) {
            unit->sample->RemoveAllBuffers();
            unit->buffer.Reset();
            const DWORD capacity = std::max<DWORD>(size, DWORD(64 << 10));
            if (FAILED(MFCreateMemoryBuffer(capacity, unit->buffer.Out())) ||
                FAILED(unit->sample->AddBuffer(unit->buffer.Get())))
                return qte::memFullErr;
            unit->capacity = capacity;
        }
        BYTE *bytes = nullptr;
        if (FAILED(unit->buffer->Lock(&bytes, nullptr, nullptr)))
            return qte::memFullErr;
        std::memcpy(bytes, data, size);
        unit->buffer->Unlock();
        unit->buffer->SetCurrentLength(size);
        unit->sample->SetSampleTime(time);
        unit->sample->SetSampleDuration(1);
        const HRESULT hr = m_transform->ProcessInput(0, unit->sample.Get(), 0);
        if (hr == MF_E_NOTACCEPTING) {
            m_held = unit->sample.Get();
            return qte::noErr;
        }
        return SUCCEEDED(hr) ? qte::noErr : qte::invalidMedia;
    }

    // Copies an Annex B unit into m_unit with every SPS ahead of its first slice rewritten to
    // say BT.601 limited range; false when it has none (it is fed as it is). An SPS that cannot
    // be rewritten goes as it was, and the pictures from then on say they were converted.
    bool RewriteParameterSets(const uint8_t *data, size_t size)
    {
        m_unitBytes = 0;
        size_t copied = 0;  // bytes of `data` accounted for in m_unit
        size_t at = NextStartCode(data, size, 0);
        while (at + 3 < size) {
            const size_t nal = at + 3;
            const uint8_t type = data[nal] & 31;
            if (type >= 1 && type <= 5)
                break;  // slices follow: nothing more to rewrite
            const size_t end = NextStartCode(data, size, nal);
            if (type == 7) {
                size_t last = end;
                while (last > nal && data[last - 1] == 0)
                    --last;  // the zero in front of a four-byte start code
                if (qte::avcSpsAsSquareBt601(data + nal, last - nal, m_sps) == qte::noErr) {
                    Append(data + copied, nal - copied);
                    Append(m_sps.data(), m_sps.size());
                    copied = last;
                } else {
                    m_reencoded = true;
                }
            }
            at = end;
        }
        if (copied == 0)
            return false;
        Append(data + copied, size - copied);
        return true;
    }

    void Append(const uint8_t *data, size_t size)
    {
        if (m_unit.size() < m_unitBytes + size)
            m_unit.resize(m_unitBytes + size);  // grows with the largest unit holding an SPS
        std::memcpy(m_unit.data() + m_unitBytes, data, size);
        m_unitBytes += size;
    }

    // The offset of the next 00 00 01 at or after `from`, or `size`.
    static size_t NextStartCode(const uint8_t *data, size_t size, size_t from)
    {
        for (size_t i = from; i + 2 < size; ++i)
            if (data[i + 2] <= 1 && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)
                return i;
        return size;
    }

    qte::Err RetryHeld()
    {
        const HRESULT hr = m_transform->ProcessInput(0, m_held, 0);
        if (hr == MF_E_NOTACCEPTING)
            return qte::noErr;
        m_held = nullptr;
        return SUCCEEDED(hr) ? qte::noErr : qte::invalidMedia;
    }

    qte::Err Expose(OutputSlot &slot, LONGLONG time, qte::Picture *out, bool *got)
    {
        BYTE *data = nullptr;
        DWORD length = 0;
        // The picture holds the slot from here: unlocked and free again when its last hold goes.
        qte::Picture p;
        p.hold = qte::PicturePool::hold(&slot);
        if (FAILED(slot.buffer->Lock(&data, nullptr, &length)))
            return qte::badImageDescription;
        slot.locked = true;
        if (!qte::yuvPictureInBuffer(data, length, m_layout, m_yv12, m_width, m_height, m_stride, m_height, &p.yuv))
            return qte::badImageDescription;
        p.time = time;
        if (m_reencoded) {
            p.ownColour = true;
            p.colour = qte::YuvColour{qte::YuvMatrix::bt601, false};
        }
        *out = p;
        *got = true;
        return qte::noErr;
    }

    qte::VideoCodec m_codec;
    ComRef<IMFTransform> m_transform;
    bool m_gstreamer = false;   // Wine's transform
    bool m_rewriteSps = false;  // its H.264 parameter sets are fed saying BT.601 limited
    bool m_reencoded = false;   // its pictures come converted to BT.601 limited range
    std::vector<uint8_t> m_unit, m_sps;  // a unit with its parameter sets rewritten; one SPS
    size_t m_unitBytes = 0;
    qte::PicturePool::Owner m_pool;  // the output samples, each free once its picture is let go
    DWORD m_outputBytes = 0;         // of an output sample for the output type set
    std::vector<InputUnit> m_inputs;
    IMFSample *m_held = nullptr;  // one of m_inputs the transform did not take yet
    qte::YuvLayout m_layout = qte::YuvLayout::nv12;
    bool m_yv12 = false;
    int32_t m_width = 0, m_height = 0, m_stride = 0;
    std::vector<uint8_t> m_first;  // the first unit, for pushing the last pictures out
    bool m_draining = false;
    int m_drainUnits = 0;
    uint64_t m_realIn = 0, m_realOut = 0;
};

// JPEG through WIC: one picture per unit, no reordering.
class WicJpegDecoder final : public qte::VideoDecoder {
public:
    qte::Err Start()
    {
        m_pool.reserve<Pixels>(qte::PicturePool::kUsualSlots, [] { return std::unique_ptr<Pixels>(new Pixels); });
        ComScope com;
        return SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IWICImagingFactory, reinterpret_cast<void **>(m_factory.Out())))
                   ? qte::noErr
                   : qte::cantFindHandler;
    }

    qte::Err send(const uint8_t *data, size_t size, int64_t time) override
    {
        m_ready = false;
        if (!data || size == 0 || size > 0x7FFFFFFF || time < 0)
            return qte::paramErr;
        ComScope com;  // the engine may decode ahead on a thread of its own
        ComRef<IWICStream> stream;
        ComRef<IWICBitmapDecoder> decoder;
        ComRef<IWICBitmapFrameDecode> frame;
        ComRef<IWICFormatConverter> converter;
        UINT width = 0, height = 0;
        if (FAILED(m_factory->CreateStream(stream.Out())) ||
            FAILED(stream->InitializeFromMemory(const_cast<BYTE *>(data), DWORD(size))) ||
            FAILED(m_factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                                      decoder.Out())) ||
            FAILED(decoder->GetFrame(0, frame.Out())) || FAILED(frame->GetSize(&width, &height)) ||
            width == 0 || height == 0 || width > 16384 || height > 16384 ||
            FAILED(m_factory->CreateFormatConverter(converter.Out())) ||
            FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                                         nullptr, 0.0, WICBitmapPaletteTypeCustom)))
            return qte::invalidMedia;
        const UINT stride = (width * 3 + 3) & ~3u;
        const size_t bytes = size_t(stride) * height;
        m_picture = qte::Picture();
        Pixels *slot = m_pool.takeOrMake<Pixels>([] { return std::unique_ptr<Pixels>(new Pixels); });
        if (!slot)
            return qte::memFullErr;
        m_picture.hold = qte::PicturePool::hold(slot);  // free again once the picture is let go
        std::vector<uint8_t> &pixels = slot->bytes;
        try {
            if (pixels.size() < bytes)
                pixels.resize(bytes);  // grows with the picture size, not per picture
        } catch (const std::bad_alloc &) {
            m_picture = qte::Picture();
            return qte::memFullErr;
        }
        if (FAILED(converter->CopyPixels(nullptr, stride, UINT(bytes), pixels.data()))) {
            m_picture = qte::Picture();
            return qte::invalidMedia;
        }
        m_picture.packed = true;
        m_picture.rgb = qte::RgbLayout::bgr24;
        m_picture.planes[0] = pixels.data();
        m_picture.strides[0] = stride;
        m_picture.width = int32_t(width);
        m_picture.height = int32_t(height);
        m_picture.time = time;
        m_ready = true;
        return qte::noErr;
    }

    qte::Err receive(qte::Picture *out, bool *got) override
    {
        *got = m_ready;
        if (m_ready)
            *out = std::move(m_picture);
        m_ready = false;
        return qte::noErr;
    }

    qte::Err drain() override { return qte::noErr; }

private:
    struct Pixels final : qte::PictureSlot {
        std::vector<uint8_t> bytes;
    };
    ComRef<IWICImagingFactory> m_factory;
    qte::PicturePool::Owner m_pool;
    qte::Picture m_picture;
    bool m_ready = false;
};

}  // namespace

qte::Err QtsCreateVideoDecoder(const qte::VideoCodec &codec, std::unique_ptr<qte::VideoDecoder> &out)
{
    try {
        if (codec.id == qte::CodecId::jpeg) {
            std::unique_ptr<WicJpegDecoder> jpeg(new WicJpegDecoder);
            const qte::Err err = jpeg->Start();
            if (err == qte::noErr)
                out = std::move(jpeg);
            return err;
        }
        const GUID *subtype = SystemSubtypesOf(codec.id).subtypes[0];
        if (!subtype)
            return qte::cantFindHandler;
        ComScope com;
        ComRef<IMFTransform> transform;
        if (FAILED(FindDecoderTransform(MFT_CATEGORY_VIDEO_DECODER, MFMediaType_Video, *subtype,
                                        transform.Out())))
            return qte::cantFindHandler;
        std::unique_ptr<TransformVideoDecoder> decoder(new TransformVideoDecoder);
        const qte::Err err = decoder->Start(codec, std::move(transform));
        if (err == qte::noErr)
            out = std::move(decoder);
        return err;
    } catch (const std::bad_alloc &) {
        return qte::memFullErr;
    }
}
