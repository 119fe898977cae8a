// Sound decoders of the system: the Media Foundation transform that takes the codec's subtype,
// else a DMO that does (MPEG audio on Wine is a DMO only). Both are fed one packet at a time
// and give PCM into a buffer made with the decoder; the engine takes it from there with one
// copy. AAC comes out as 32-bit float (bit for bit the reference decoding on Wine), MPEG audio
// as 16-bit integers; channels in speaker-position order, as AudioCodec::labels says.
#include "WindowsDecoders.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include <dmoreg.h>
#include <mferror.h>
#include <mmreg.h>
#include <ksmedia.h>

#include "MediaFoundation.h"

namespace {

// FORMAT_WaveFormatEx, the DMO media types' format block (strmiids is not linked here).
const GUID kFormatWaveFormatEx = {0x05589f81, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};

constexpr DWORD kInputSlack = 8192;  // input bytes beyond which a packet needs a larger buffer
constexpr UINT32 kOutputFrames = 8192;  // one output call's room (AAC with SBR gives 2048)
constexpr LONGLONG kHundredNs = 10000000;

qte::Err ErrOf(HRESULT hr)
{
    if (hr == E_OUTOFMEMORY)
        return qte::memFullErr;
    return qte::invalidMedia;
}

// The PCM the decoder is asked for, as a WAVEFORMATEX.
WAVEFORMATEX PcmFormat(const qte::AudioCodec &codec)
{
    WAVEFORMATEX w = {};
    w.wFormatTag = codec.output.isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    w.nChannels = WORD(codec.channels);
    w.nSamplesPerSec = codec.sampleRate;
    w.wBitsPerSample = WORD(codec.output.bits);
    w.nBlockAlign = WORD(codec.output.bytesPerFrame());
    w.nAvgBytesPerSec = w.nBlockAlign * w.nSamplesPerSec;
    return w;
}

// MPEG audio's input format: the layer-3 form carries what the decoders ask for.
MPEGLAYER3WAVEFORMAT MpegFormat(const qte::AudioCodec &codec)
{
    MPEGLAYER3WAVEFORMAT m = {};
    m.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    m.wfx.nChannels = WORD(codec.channels);
    m.wfx.nSamplesPerSec = codec.sampleRate;
    m.wfx.nAvgBytesPerSec = 16000;
    m.wfx.nBlockAlign = 1;
    m.wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
    m.wID = MPEGLAYER3_ID_MPEG;
    m.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
    m.nBlockSize = WORD(144 * 128000 / std::max<UINT32>(codec.sampleRate, 1));
    m.nFramesPerBlock = 1;
    return m;
}

// The speakers of the decoded channels, which come in this mask's order.
UINT32 ChannelMask(const qte::AudioCodec &codec)
{
    UINT32 mask = 0;
    for (uint32_t label : codec.labels)
        mask |= qte::speakerOf(label);
    // A layout it does not name: the first speakers, one per channel.
    if (UINT32(__builtin_popcount(mask)) != codec.channels)
        mask = codec.channels >= 32 ? 0xFFFFFFFFu : (1u << codec.channels) - 1;
    return mask;
}

// Bytes of decoded PCM waiting for the engine, and the copy out of them.
class PendingPcm {
public:
    void Set(const BYTE *data, DWORD bytes) { m_data = data, m_left = bytes; }
    bool Empty() const { return m_left == 0; }
    UINT32 Take(void *out, UINT32 capacity, UINT32 frameBytes)
    {
        const UINT32 frames = std::min<UINT32>(capacity, m_left / frameBytes);
        if (frames == 0 && m_left >= frameBytes)
            return 0;  // no room: the frames wait
        std::memcpy(out, m_data, size_t(frames) * frameBytes);
        m_data += size_t(frames) * frameBytes;
        m_left = frames ? m_left - frames * frameBytes : 0;  // a part frame is dropped
        return frames;
    }

private:
    const BYTE *m_data = nullptr;
    DWORD m_left = 0;
};

// A transform fed from a few input samples made at creation: one in use while the transform
// may still hold the one before.
class TransformDecoder final : public qte::AudioDecoder {
public:
    TransformDecoder(const qte::AudioCodec &codec, ComRef<IMFTransform> transform)
        : m_codec(codec), m_transform(std::move(transform)), m_frameBytes(codec.output.bytesPerFrame())
    {
    }
    ~TransformDecoder() override
    {
        if (m_outLocked)
            m_outBuffer->Unlock();
    }

    HRESULT Start(const GUID &subtype)
    {
        HRESULT hr = SetInput(subtype);
        if (SUCCEEDED(hr))
            hr = SetOutput();
        MFT_OUTPUT_STREAM_INFO info = {};
        if (SUCCEEDED(hr))
            hr = m_transform->GetOutputStreamInfo(0, &info);
        if (SUCCEEDED(hr) && (info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES))
            hr = MF_E_TRANSFORM_TYPE_NOT_SET;  // every transform found so far takes the caller's
        const DWORD outBytes = std::max<DWORD>(info.cbSize, kOutputFrames * m_frameBytes);
        if (SUCCEEDED(hr))
            hr = MakeSample(outBytes, m_outSample.Out(), m_outBuffer.Out());
        for (Input &in : m_inputs)
            if (SUCCEEDED(hr))
                hr = MakeSample(kInputSlack, in.sample.Out(), in.buffer.Out()), in.capacity = kInputSlack;
        if (SUCCEEDED(hr))
            m_transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
        if (SUCCEEDED(hr))
            m_transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
        return hr;
    }

    qte::Err send(const uint8_t *packet, size_t size) override
    {
        if (!packet || size == 0 || size > 0x100000)
            return qte::paramErr;
        Input &in = m_inputs[m_nextInput];
        m_nextInput = (m_nextInput + 1) % kInputs;
        if (size > in.capacity) {  // rare: grows once to the largest packet seen
            if (FAILED(MakeSample(DWORD(size), in.sample.Out(), in.buffer.Out())))
                return qte::memFullErr;
            in.capacity = DWORD(size);
        }
        BYTE *bytes = nullptr;
        if (FAILED(in.buffer->Lock(&bytes, nullptr, nullptr)))
            return qte::memFullErr;
        std::memcpy(bytes, packet, size);
        in.buffer->Unlock();
        in.buffer->SetCurrentLength(DWORD(size));
        // Times are never negative and only grow: a count of packets at the nominal length.
        const LONGLONG length = LONGLONG(m_codec.framesPerPacket) * kHundredNs / std::max<UINT32>(m_codec.sampleRate, 1);
        in.sample->SetSampleTime(m_time);
        in.sample->SetSampleDuration(length);
        m_time += length;
        const HRESULT hr = m_transform->ProcessInput(0, in.sample.Get(), 0);
        return SUCCEEDED(hr) ? qte::noErr : ErrOf(hr);
    }

    qte::Err receive(void *out, uint32_t capacity, uint32_t *frames) override
    {
        *frames = 0;
        for (int tries = 0; m_pending.Empty() && tries < 2; ++tries) {
            ReleaseOutput();
            m_outBuffer->SetCurrentLength(0);
            MFT_OUTPUT_DATA_BUFFER data = {};
            data.pSample = m_outSample.Get();
            DWORD status = 0;
            const HRESULT hr = m_transform->ProcessOutput(0, 1, &data, &status);
            if (data.pEvents)
                data.pEvents->Release();
            if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT)
                return qte::noErr;
            if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
                if (FAILED(SetOutput()))
                    return qte::invalidMedia;
                continue;
            }
            if (FAILED(hr))
                return ErrOf(hr);
            BYTE *bytes = nullptr;
            DWORD length = 0;
            if (FAILED(m_outBuffer->Lock(&bytes, nullptr, &length)))
                return qte::memFullErr;
            m_outLocked = true;
            m_pending.Set(bytes, length);
        }
        *frames = m_pending.Take(out, capacity, m_frameBytes);
        return qte::noErr;
    }

    qte::Err drain() override
    {
        m_transform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
        m_transform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
        return qte::noErr;
    }

private:
    static constexpr size_t kInputs = 4;
    struct Input {
        ComRef<IMFSample> sample;
        ComRef<IMFMediaBuffer> buffer;
        DWORD capacity = 0;
    };

    static HRESULT MakeSample(DWORD bytes, IMFSample **sample, IMFMediaBuffer **buffer)
    {
        HRESULT hr = MFCreateSample(sample);
        if (SUCCEEDED(hr))
            hr = MFCreateMemoryBuffer(bytes, buffer);
        if (SUCCEEDED(hr))
            hr = (*sample)->AddBuffer(*buffer);
        return hr;
    }

    void ReleaseOutput()
    {
        if (m_outLocked)
            m_outBuffer->Unlock();
        m_outLocked = false;
    }

    HRESULT SetInput(const GUID &subtype)
    {
        ComRef<IMFMediaType> type;
        HRESULT hr = MFCreateMediaType(type.Out());
        if (FAILED(hr))
            return hr;
        type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
        type->SetGUID(MF_MT_SUBTYPE, subtype);
        type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, m_codec.sampleRate);
        type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, m_codec.channels);
        if (m_codec.id == qte::CodecId::aac) {
            // The input claims the configuration's rate and channels: the decoder converts to
            // what the input type says, so anything else would be resampled or remixed.
            std::vector<uint8_t> user(sizeof(HEAACWAVEINFO) - sizeof(WAVEFORMATEX), 0);
            user.insert(user.end(), m_codec.config.begin(), m_codec.config.end());
            type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
            type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
            type->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, 0xFE);
            type->SetBlob(MF_MT_USER_DATA, user.data(), UINT32(user.size()));
        } else {
            const MPEGLAYER3WAVEFORMAT m = MpegFormat(m_codec);
            type->SetBlob(MF_MT_USER_DATA, reinterpret_cast<const UINT8 *>(&m) + sizeof(WAVEFORMATEX),
                          MPEGLAYER3_WFX_EXTRA_BYTES);
        }
        return m_transform->SetInputType(0, type.Get(), 0);
    }

    // The transform's own offer of the wanted PCM if it has one, else a type made here.
    HRESULT SetOutput()
    {
        const GUID want = m_codec.output.isFloat ? MFAudioFormat_Float : MFAudioFormat_PCM;
        for (DWORD i = 0;; ++i) {
            ComRef<IMFMediaType> offered;
            if (FAILED(m_transform->GetOutputAvailableType(0, i, offered.Out())))
                break;
            GUID subtype = GUID_NULL;
            UINT32 channels = 0, bits = 0;
            offered->GetGUID(MF_MT_SUBTYPE, &subtype);
            offered->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels);
            offered->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits);
            // Wine's AAC transform offers more than two channels without a mask, then refuses
            // such a type unless it has one.
            UINT32 mask = 0;
            if (FAILED(offered->GetUINT32(MF_MT_AUDIO_CHANNEL_MASK, &mask)))
                offered->SetUINT32(MF_MT_AUDIO_CHANNEL_MASK, ChannelMask(m_codec));
            if (subtype == want && channels == m_codec.channels && bits == m_codec.output.bits &&
                SUCCEEDED(m_transform->SetOutputType(0, offered.Get(), 0)))
                return S_OK;
        }
        ComRef<IMFMediaType> type;
        HRESULT hr = MFCreateMediaType(type.Out());
        if (FAILED(hr))
            return hr;
        const WAVEFORMATEX w = PcmFormat(m_codec);
        type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
        type->SetGUID(MF_MT_SUBTYPE, want);
        type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, w.nSamplesPerSec);
        type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, w.nChannels);
        type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, w.wBitsPerSample);
        type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, w.nBlockAlign);
        type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, w.nAvgBytesPerSec);
        type->SetUINT32(MF_MT_AUDIO_CHANNEL_MASK, ChannelMask(m_codec));
        return m_transform->SetOutputType(0, type.Get(), 0);
    }

    qte::AudioCodec m_codec;
    ComRef<IMFTransform> m_transform;
    const UINT32 m_frameBytes;
    Input m_inputs[kInputs];
    size_t m_nextInput = 0;
    ComRef<IMFSample> m_outSample;
    ComRef<IMFMediaBuffer> m_outBuffer;
    bool m_outLocked = false;
    PendingPcm m_pending;
    LONGLONG m_time = 0;
};

// An IMediaBuffer over bytes that its owner keeps: a DMO may hold a reference until it has
// used the input, and the owner outlives the DMO.
class OwnedMediaBuffer final : public IMediaBuffer {
public:
    HRESULT Allocate(DWORD bytes)
    {
        m_bytes.reset(new (std::nothrow) BYTE[bytes]);
        m_capacity = m_bytes ? bytes : 0;
        m_length = 0;
        return m_bytes ? S_OK : E_OUTOFMEMORY;
    }
    BYTE *Bytes() { return m_bytes.get(); }
    DWORD Capacity() const { return m_capacity; }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMediaBuffer) {
            *ppv = static_cast<IMediaBuffer *>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SetLength(DWORD length) override
    {
        if (length > m_capacity)
            return E_INVALIDARG;
        m_length = length;
        return S_OK;
    }
    STDMETHODIMP GetMaxLength(DWORD *length) override
    {
        if (!length)
            return E_POINTER;
        *length = m_capacity;
        return S_OK;
    }
    STDMETHODIMP GetBufferAndLength(BYTE **buffer, DWORD *length) override
    {
        if (buffer)
            *buffer = m_bytes.get();
        if (length)
            *length = m_length;
        return S_OK;
    }

private:
    std::unique_ptr<BYTE[]> m_bytes;
    DWORD m_capacity = 0, m_length = 0;
};

class DmoDecoder final : public qte::AudioDecoder {
public:
    explicit DmoDecoder(const qte::AudioCodec &codec) : m_codec(codec), m_frameBytes(codec.output.bytesPerFrame()) {}
    ~DmoDecoder() override { m_dmo.Reset(); }  // before the buffers it may hold

    HRESULT Start(ComRef<IMediaObject> dmo, const GUID &subtype)
    {
        m_dmo = std::move(dmo);
        MPEGLAYER3WAVEFORMAT in = MpegFormat(m_codec);
        DMO_MEDIA_TYPE type = {};
        type.majortype = MFMediaType_Audio;
        type.subtype = subtype;
        type.formattype = kFormatWaveFormatEx;
        type.cbFormat = sizeof in;
        type.pbFormat = reinterpret_cast<BYTE *>(&in);
        HRESULT hr = m_dmo->SetInputType(0, &type, 0);
        WAVEFORMATEX out = PcmFormat(m_codec);
        type.subtype = m_codec.output.isFloat ? MFAudioFormat_Float : MFAudioFormat_PCM;
        type.bFixedSizeSamples = TRUE;
        type.lSampleSize = out.nBlockAlign;
        type.cbFormat = sizeof out;
        type.pbFormat = reinterpret_cast<BYTE *>(&out);
        if (SUCCEEDED(hr))
            hr = m_dmo->SetOutputType(0, &type, 0);
        if (SUCCEEDED(hr))
            hr = m_input.Allocate(kInputSlack);
        if (SUCCEEDED(hr))
            hr = m_output.Allocate(kOutputFrames * m_frameBytes);
        return hr;
    }

    qte::Err send(const uint8_t *packet, size_t size) override
    {
        if (!packet || size == 0 || size > 0x100000)
            return qte::paramErr;
        if (size > m_input.Capacity()) {
            // The DMO may still hold the old buffer's reference: only a finished input grows.
            if (m_holdsInput || FAILED(m_input.Allocate(DWORD(size))))
                return qte::memFullErr;
        }
        std::memcpy(m_input.Bytes(), packet, size);
        m_input.SetLength(DWORD(size));
        const HRESULT hr = m_dmo->ProcessInput(0, &m_input, 0, 0, 0);
        m_holdsInput = SUCCEEDED(hr);
        return SUCCEEDED(hr) ? qte::noErr : ErrOf(hr);
    }

    qte::Err receive(void *out, uint32_t capacity, uint32_t *frames) override
    {
        *frames = 0;
        if (m_pending.Empty()) {
            if (!m_more && !m_holdsInput)
                return qte::noErr;
            m_output.SetLength(0);
            DMO_OUTPUT_DATA_BUFFER data = {};
            data.pBuffer = &m_output;
            DWORD status = 0;
            const HRESULT hr = m_dmo->ProcessOutput(0, 1, &data, &status);
            m_more = hr == S_OK && (data.dwStatus & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE);
            if (FAILED(hr))
                return ErrOf(hr);
            BYTE *bytes = nullptr;
            DWORD length = 0;
            m_output.GetBufferAndLength(&bytes, &length);
            if (hr == S_FALSE || length == 0) {
                m_holdsInput = m_more;  // nothing more from this input
                return qte::noErr;
            }
            m_pending.Set(bytes, length);
        }
        *frames = m_pending.Take(out, capacity, m_frameBytes);
        return qte::noErr;
    }

    qte::Err drain() override
    {
        m_dmo->Discontinuity(0);
        m_more = true;
        return qte::noErr;
    }

private:
    qte::AudioCodec m_codec;
    const UINT32 m_frameBytes;
    OwnedMediaBuffer m_input, m_output;
    ComRef<IMediaObject> m_dmo;
    PendingPcm m_pending;
    bool m_holdsInput = false;  // the last input may still give output
    bool m_more = false;        // the DMO said it has more than the last output held
};

// MPEG audio's decoders give 16-bit integers, the engine takes its sound as float: converted
// (exactly) on the way out, through a buffer made once.
class FloatFromS16 final : public qte::AudioDecoder {
public:
    FloatFromS16(std::unique_ptr<qte::AudioDecoder> inner, uint32_t channels)
        : m_inner(std::move(inner)), m_channels(channels), m_s16(size_t(kOutputFrames) * channels)
    {
    }
    qte::Err send(const uint8_t *packet, size_t size) override { return m_inner->send(packet, size); }
    qte::Err receive(void *out, uint32_t capacity, uint32_t *frames) override
    {
        const qte::Err e = m_inner->receive(m_s16.data(), std::min<uint32_t>(capacity, kOutputFrames), frames);
        float *o = static_cast<float *>(out);
        for (size_t i = 0; i < size_t(*frames) * m_channels; ++i)
            o[i] = m_s16[i] / 32768.0f;
        return e;
    }
    qte::Err drain() override { return m_inner->drain(); }

private:
    std::unique_ptr<qte::AudioDecoder> m_inner;
    const uint32_t m_channels;
    std::vector<int16_t> m_s16;
};

qte::Err CreateSystemAudioDecoder(const qte::AudioCodec &codec, std::unique_ptr<qte::AudioDecoder> &out);

}  // namespace

qte::Err QtsCreateAudioDecoder(const qte::AudioCodec &codec, std::unique_ptr<qte::AudioDecoder> &out)
{
    out.reset();
    if (!codec.output.valid() || codec.channels == 0 || codec.channels > 8 || codec.sampleRate == 0 ||
        codec.channels != codec.output.channels)
        return qte::paramErr;
    if (codec.id != qte::CodecId::mpegAudio || !codec.output.isFloat)
        return CreateSystemAudioDecoder(codec, out);
    qte::AudioCodec s16 = codec;
    s16.output.isFloat = false;
    s16.output.bits = 16;
    std::unique_ptr<qte::AudioDecoder> inner;
    const qte::Err e = CreateSystemAudioDecoder(s16, inner);
    if (e != qte::noErr)
        return e;
    try {
        out.reset(new FloatFromS16(std::move(inner), codec.channels));
    } catch (const std::bad_alloc &) {
        return qte::memFullErr;
    }
    return qte::noErr;
}

namespace {

qte::Err CreateSystemAudioDecoder(const qte::AudioCodec &codec, std::unique_ptr<qte::AudioDecoder> &out)
{
    const SystemSubtypes known = SystemSubtypesOf(codec.id);
    size_t count = 0;
    while (count < 2 && known.subtypes[count])
        ++count;
    if (count == 0)
        return qte::cantFindHandler;
    GUID subtypes[2];
    for (size_t i = 0; i < count; ++i)
        subtypes[i] = *known.subtypes[i];
    ComScope com;
    for (size_t i = 0; i < count; ++i) {
        ComRef<IMFTransform> transform;
        if (FAILED(FindDecoderTransform(MFT_CATEGORY_AUDIO_DECODER, MFMediaType_Audio, subtypes[i], transform.Out())))
            continue;
        std::unique_ptr<TransformDecoder> decoder(new (std::nothrow) TransformDecoder(codec, std::move(transform)));
        if (!decoder)
            return qte::memFullErr;
        if (SUCCEEDED(decoder->Start(subtypes[i]))) {
            out = std::move(decoder);
            return qte::noErr;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        ComRef<IMediaObject> dmo;
        if (FAILED(FindDecoderDmo(DMOCATEGORY_AUDIO_DECODER, MFMediaType_Audio, subtypes[i], dmo.Out())))
            continue;
        std::unique_ptr<DmoDecoder> decoder(new (std::nothrow) DmoDecoder(codec));
        if (!decoder)
            return qte::memFullErr;
        if (SUCCEEDED(decoder->Start(std::move(dmo), subtypes[i]))) {
            out = std::move(decoder);
            return qte::noErr;
        }
    }
    return qte::cantFindHandler;
}

}  // namespace
