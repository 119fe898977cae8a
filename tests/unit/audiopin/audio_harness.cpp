#include "audio_harness.h"

#include "filter/moviesourcefilter.h"
#include "framework/combase.h"

// The framework's entry points read a class table; these tests create the filter directly.
CFactoryTemplate g_Templates[1] = {};
int g_cTemplates = 0;

namespace audiotest {

fakeqt::MovieModel SoundMovie(const fakeqt::TrackModel &track, TimeValue movieDuration)
{
    fakeqt::MovieModel movie;
    movie.timeScale = 600;
    movie.duration = movieDuration;
    movie.tracks.push_back(track);
    return movie;
}

void AudioPinTest::SetUp()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_nObjectsBefore = CBaseObject::ObjectsActive();
    m_pQt = new fakeqt::FakeQuickTime;
}

void AudioPinTest::TearDown()
{
    Close();
    delete m_pQt;
    m_pQt = nullptr;
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_nObjectsBefore);
    CoUninitialize();
}

bool AudioPinTest::Open(const fakeqt::MovieModel &movie, long qtimVersion)
{
    m_pQt->SetGestalt(noErr, qtimVersion);
    m_pQt->SetMovie(movie);
    HRESULT hr = E_FAIL;
    CUnknown *pObject = CMovieSourceFilter::CreateInstance(nullptr, &hr);
    EXPECT_NE(pObject, nullptr);
    if (!pObject)
        return false;
    EXPECT_EQ(pObject->NonDelegatingQueryInterface(IID_IBaseFilter,
                                                   reinterpret_cast<void **>(&m_pFilter)),
              S_OK);
    IFileSourceFilter *pFile = nullptr;
    EXPECT_EQ(m_pFilter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void **>(&pFile)),
              S_OK);
    hr = pFile->Load(L"Z:\\media\\movie.mov", nullptr);
    pFile->Release();
    EXPECT_EQ(hr, S_OK);
    IPin *pPin = nullptr;
    hr = m_pFilter->FindPin(L"1", &pPin);
    EXPECT_EQ(hr, S_OK);
    if (!pPin)
        return false;
    m_pPin = pPin;
    m_pAudio = dynamic_cast<CMovieAudioPin *>(static_cast<IPin *>(pPin));
    pPin->Release();  // the filter keeps it
    EXPECT_NE(m_pAudio, nullptr);
    return m_pAudio != nullptr;
}

void AudioPinTest::Close()
{
    if (m_pAllocator) {
        m_pAllocator->Decommit();
        EXPECT_EQ(m_pAllocator->Release(), 0u);
        m_pAllocator = nullptr;
    }
    m_pPin = nullptr;
    m_pAudio = nullptr;
    if (m_pFilter) {
        EXPECT_EQ(m_pFilter->Release(), 0u);
        m_pFilter = nullptr;
    }
}

AM_MEDIA_TYPE *AudioPinTest::OfferedType()
{
    IEnumMediaTypes *pEnum = nullptr;
    if (m_pPin->EnumMediaTypes(&pEnum) != S_OK)
        return nullptr;
    AM_MEDIA_TYPE *pmt = reinterpret_cast<AM_MEDIA_TYPE *>(0xdeadbeef);
    ULONG fetched = 99;
    const HRESULT hr = pEnum->Next(1, &pmt, &fetched);
    AM_MEDIA_TYPE *pSecond = nullptr;
    EXPECT_EQ(pEnum->Next(1, &pSecond, nullptr), S_FALSE) << "more than one type offered";
    pEnum->Release();
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(fetched, 1u);
    return hr == S_OK ? pmt : nullptr;
}

IMediaSample *AudioPinTest::NewSample(long cbBuffer)
{
    if (m_pAllocator && m_cbAllocator != cbBuffer) {
        m_pAllocator->Decommit();
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    if (!m_pAllocator) {
        if (CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IMemAllocator, reinterpret_cast<void **>(&m_pAllocator)) != S_OK)
            return nullptr;
        ALLOCATOR_PROPERTIES request = {1, cbBuffer, 1, 0};
        ALLOCATOR_PROPERTIES actual = {};
        EXPECT_EQ(m_pAllocator->SetProperties(&request, &actual), S_OK);
        EXPECT_EQ(m_pAllocator->Commit(), S_OK);
        m_cbAllocator = cbBuffer;
    }
    IMediaSample *pSample = nullptr;
    EXPECT_EQ(m_pAllocator->GetBuffer(&pSample, nullptr, nullptr, 0), S_OK);
    return pSample;
}

AudioPinTest::Filled AudioPinTest::Fill(long cbBuffer)
{
    Filled filled = {E_UNEXPECTED, -1, -1, -1, {}};
    IMediaSample *pSample = NewSample(cbBuffer);
    if (!pSample)
        return filled;
    // Poison what the fill must overwrite.
    pSample->SetActualDataLength(0);
    BYTE *pData = nullptr;
    pSample->GetPointer(&pData);
    memset(pData, 0xCD, size_t(cbBuffer));
    filled.hr = m_pAudio->FillBuffer(pSample);
    filled.lActual = pSample->GetActualDataLength();
    pSample->GetTime(&filled.tStart, &filled.tStop);
    filled.bytes.assign(pData, pData + filled.lActual);
    pSample->Release();
    return filled;
}

}  // namespace audiotest
