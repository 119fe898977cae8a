// pin_bench QUICKTIME.qts VIDEO.mov [VIDEO.mov ...] --audio AUDIO.mov: the pins' throughput, one
// line per measurement (best of three), for run-bench.sh to set against ffmpeg:
//   graph FILE samples N bytes B seconds T   whole passes through Wine's graph into a sink
//   fill FILE fill_ns F draw_ns D copy_ns C   per frame: the pin's fill, QuickTime's drawing
//                                            alone, and one plain copy of the frame
// The filter is linked in and created directly; the stand-in is loaded first, as a host would.
#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "filter/moviesourcefilter.h"
#include "pins/movieoutputpin.h"
#include "quicktime/QuickTime.h"
#include "test_sink.h"
#include "testpaths.h"

// The module's class table; the benchmark registers nothing.
CFactoryTemplate g_Templates[1] = {};
int g_cTemplates = 0;

namespace {

using Microsoft::WRL::ComPtr;

const int kRounds = 3;

double Now()
{
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(f.QuadPart);
}

class SinkRef {
public:
    SinkRef() : m_p(testsupport::TestSink::Create()) {}
    ~SinkRef() { if (m_p) m_p->Release(); }
    SinkRef(const SinkRef &) = delete;
    SinkRef &operator=(const SinkRef &) = delete;
    testsupport::TestSink *operator->() const { return m_p; }
    testsupport::TestSink *get() const { return m_p; }

private:
    testsupport::TestSink *m_p;
};

ComPtr<IBaseFilter> NewFilter(const char *movie)
{
    HRESULT hr = S_OK;
    CMovieSourceFilter *filter = new (std::nothrow) CMovieSourceFilter(nullptr, &hr);
    ComPtr<IBaseFilter> base;
    if (!filter || FAILED(filter->NonDelegatingQueryInterface(IID_IBaseFilter,
                                                              reinterpret_cast<void **>(base.GetAddressOf())))) {
        delete filter;
        return nullptr;
    }
    ComPtr<IFileSourceFilter> file;
    if (FAILED(hr) || FAILED(base.As(&file)) || FAILED(file->Load(WidePath(movie).c_str(), nullptr)))
        return nullptr;
    return base;
}

// Passes through the graph: every pin to a sink, no clock, Run to end-of-stream.
bool Graph(const char *movie)
{
    ComPtr<IGraphBuilder> graph;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph))))
        return false;
    ComPtr<IBaseFilter> source = NewFilter(movie);
    if (!source || FAILED(graph->AddFilter(source.Get(), L"source")))
        return false;
    ComPtr<IEnumPins> pins;
    if (FAILED(source->EnumPins(&pins)))
        return false;
    std::vector<ComPtr<IPin>> outputs;
    for (ComPtr<IPin> pin; pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK;)
        outputs.push_back(pin);
    std::vector<SinkRef> sinks(outputs.size());
    std::vector<HANDLE> ends;
    for (size_t i = 0; i < outputs.size(); i++) {
        if (!sinks[i].get())
            return false;
        sinks[i]->AcceptMajorType(GUID_NULL);
        ComPtr<IEnumMediaTypes> types;
        AM_MEDIA_TYPE *pmt = nullptr;
        if (FAILED(outputs[i]->EnumMediaTypes(&types)) || types->Next(1, &pmt, nullptr) != S_OK)
            return false;
        sinks[i]->AcceptMajorType(pmt->majortype);
        CoTaskMemFree(pmt->pbFormat);
        CoTaskMemFree(pmt);
        if (FAILED(graph->AddFilter(sinks[i]->Filter(), nullptr)) ||
            FAILED(graph->ConnectDirect(outputs[i].Get(), sinks[i]->Pin(), nullptr)))
            return false;
        ends.push_back(sinks[i]->EndOfStreamEvent());
    }
    ComPtr<IMediaFilter> mediaFilter;
    ComPtr<IMediaControl> control;
    if (FAILED(graph.As(&mediaFilter)) || FAILED(mediaFilter->SetSyncSource(nullptr)) ||
        FAILED(graph.As(&control)))
        return false;
    double best = 1e9;
    size_t samples = 0, bytes = 0;
    for (int round = 0; round < kRounds; round++) {
        for (size_t i = 0; i < outputs.size(); i++) {
            sinks[i]->ClearRecords();
            ComPtr<IMediaSeeking> seeking;
            LONGLONG start = 0;
            if (FAILED(outputs[i].As(&seeking)) ||
                FAILED(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                             AM_SEEKING_NoPositioning)))
                return false;
        }
        const double t0 = Now();
        if (FAILED(control->Run()))
            return false;
        const bool ended = WaitForMultipleObjects(DWORD(ends.size()), ends.data(), TRUE, 120000) <
                           WAIT_OBJECT_0 + ends.size();
        const double t = Now() - t0;
        control->Stop();
        if (!ended)
            return false;
        samples = bytes = 0;
        for (SinkRef &sink : sinks) {
            for (const testsupport::SinkRecord &r : sink->Samples()) {
                samples++;
                bytes += size_t(r.lActual);
            }
        }
        best = t < best ? t : best;
    }
    for (size_t i = 0; i < outputs.size(); i++)
        graph->RemoveFilter(sinks[i]->Filter());
    graph->RemoveFilter(source.Get());
    std::printf("graph %s samples %zu bytes %zu seconds %.6f\n", movie, samples, bytes, best);
    return true;
}

// The video pin's fill step alone, on a sample of Wine's allocator, against QuickTime drawing the
// same frames into the pin's world and against one memcpy of a frame.
bool Fill(const char *movie)
{
    ComPtr<IBaseFilter> base = NewFilter(movie);
    if (!base)
        return false;
    CMovieSourceFilter *filter = static_cast<CMovieSourceFilter *>(base.Get());
    CMovieOutputPin *pin = static_cast<CMovieOutputPin *>(filter->GetPin(0));
    CMediaType mt;
    if (!pin || FAILED(pin->GetMediaType(0, &mt)) || !IsEqualGUID(*mt.Type(), MEDIATYPE_Video))
        return false;
    const long frame = long(mt.GetSampleSize());
    ComPtr<IMemAllocator> allocator;
    ALLOCATOR_PROPERTIES want = {1, frame, 1, 0}, got = {};
    if (FAILED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&allocator))) ||
        FAILED(allocator->SetProperties(&want, &got)) || FAILED(allocator->Commit()))
        return false;
    ComPtr<IMediaSample> sample;
    if (FAILED(allocator->GetBuffer(&sample, nullptr, nullptr, 0)) || FAILED(pin->OnThreadCreate()))
        return false;
    BYTE *pSample = nullptr;
    sample->GetPointer(&pSample);
    std::vector<BYTE> source(size_t(frame), 0x5A);

    double bestFill = 1e9, bestDraw = 1e9, bestCopy = 1e9;
    int frames = 0;
    for (int round = 0; round < kRounds; round++) {
        // A pass of fills from the start; the render target stays.
        if (FAILED(pin->OnThreadCreate()))
            return false;
        frames = 0;
        double t0 = Now();
        while (pin->FillBuffer(sample.Get()) == S_OK)
            frames++;
        const double fill = (Now() - t0) / frames;
        // The same frames drawn by QuickTime alone, at the pin's grid.
        const TimeValue step = TimeValue(GetMovieTimeScale(filter->m_movie) / 25);
        t0 = Now();
        for (int n = 0; n < frames; n++) {
            SetMovieTimeValue(filter->m_movie, n * step);
            MoviesTask(filter->m_movie, 0);
        }
        const double draw = (Now() - t0) / frames;
        t0 = Now();
        for (int n = 0; n < frames; n++) {
            source[size_t(n) % source.size()] = BYTE(n);
            std::memcpy(pSample, source.data(), size_t(frame));
        }
        const double copy = (Now() - t0) / frames;
        bestFill = fill < bestFill ? fill : bestFill;
        bestDraw = draw < bestDraw ? draw : bestDraw;
        bestCopy = copy < bestCopy ? copy : bestCopy;
    }
    sample.Reset();
    allocator->Decommit();
    std::printf("fill %s frames %d fill_ns %.0f draw_ns %.0f copy_ns %.0f\n", movie, frames,
                bestFill * 1e9, bestDraw * 1e9, bestCopy * 1e9);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s QUICKTIME.qts VIDEO.mov... [--audio AUDIO.mov...]\n", argv[0]);
        return 2;
    }
    if (!LoadLibraryW(WidePath(argv[1]).c_str())) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    int rc = 0;
    bool audio = false;
    for (int i = 2; i < argc && rc == 0; i++) {
        if (std::strcmp(argv[i], "--audio") == 0) {
            audio = true;
            continue;
        }
        if (!Graph(argv[i]) || (!audio && !Fill(argv[i]))) {
            std::fprintf(stderr, "measuring %s failed\n", argv[i]);
            rc = 1;
        }
    }
    CoUninitialize();
    return rc;
}
