// pin_bench QUICKTIME.qts [--no-peer] VIDEO.mov [VIDEO.mov ...] --audio AUDIO.mov: the pins'
// throughput, one line per measurement (best of three), for run-bench.sh to set against ffmpeg
// (--no-peer: without Wine's parser):
//   graph FILE samples N bytes B seconds T   whole passes through Wine's graph into a sink
//   gstreamer FILE samples ...               the same through File Source (Async) and Wine's
//                                            GStreamer parser (or "unavailable")
//   fill FILE fill_ns F draw_ns D own_ns O copy_ns C
//                                            per frame (medians): the pin's fill of a decoded
//                                            frame, QuickTime drawing that frame alone, the
//                                            difference, and one plain copy of the frame
//   seek FILE median_ms M max_ms X           from a seek of the paused video pin to its first
//                                            frame delivered (--seek FILE: this alone)
//   startup FILE median_ms M max_ms X        from IMediaControl::Run on a stopped graph with the
//                                            system clock, as a player runs it, to the video
//                                            pin's first frame (--startup FILE: this alone)
// The filter is linked in and created directly; the stand-in is loaded first, as a host would.
#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <algorithm>
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

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// Wine's GStreamer-backed parser, the peer inside the same host.
const CLSID CLSID_GstParser = {0xf9d8d64e, 0xa144, 0x47dc,
                               {0x8e, 0xe0, 0xf5, 0x34, 0x98, 0x37, 0x2c, 0x29}};

// The source's output pins for one pass: our filter, or File Source (Async) and the parser.
bool AddSource(IGraphBuilder *graph, const char *movie, bool peer, std::vector<ComPtr<IPin>> *pOutputs)
{
    ComPtr<IBaseFilter> source;
    if (peer) {
        ComPtr<IBaseFilter> reader;
        ComPtr<IFileSourceFilter> file;
        ComPtr<IPin> readerOut, parserIn;
        if (FAILED(CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&reader))) ||
            FAILED(reader.As(&file)) || FAILED(file->Load(WidePath(movie).c_str(), nullptr)) ||
            FAILED(graph->AddFilter(reader.Get(), L"reader")) ||
            FAILED(CoCreateInstance(CLSID_GstParser, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&source))) ||
            FAILED(graph->AddFilter(source.Get(), L"parser")))
            return false;
        ComPtr<IEnumPins> pins;
        if (FAILED(reader->EnumPins(&pins)) || pins->Next(1, &readerOut, nullptr) != S_OK)
            return false;
        pins.Reset();
        if (FAILED(source->EnumPins(&pins)) || pins->Next(1, &parserIn, nullptr) != S_OK ||
            FAILED(graph->ConnectDirect(readerOut.Get(), parserIn.Get(), nullptr)))
            return false;
    } else {
        source = NewFilter(movie);
        if (!source || FAILED(graph->AddFilter(source.Get(), L"source")))
            return false;
    }
    ComPtr<IEnumPins> pins;
    if (FAILED(source->EnumPins(&pins)))
        return false;
    for (ComPtr<IPin> pin; pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK;) {
        PIN_DIRECTION dir;
        if (SUCCEEDED(pin->QueryDirection(&dir)) && dir == PINDIR_OUTPUT)
            pOutputs->push_back(pin);
    }
    return true;
}

// One pass through a fresh graph: every output to a sink (RGB32 or PCM), no clock, Run to
// end-of-stream. The time runs from Run to the last end-of-stream.
bool Pass(const char *movie, bool peer, double *pSeconds, size_t *pSamples, size_t *pBytes)
{
    ComPtr<IGraphBuilder> graph;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph))))
        return false;
    std::vector<ComPtr<IPin>> outputs;
    if (!AddSource(graph.Get(), movie, peer, &outputs))
        return false;
    std::vector<SinkRef> sinks(outputs.size());
    std::vector<HANDLE> ends;
    bool ok = true;
    for (size_t i = 0; i < outputs.size() && ok; i++) {
        ComPtr<IEnumMediaTypes> types;
        AM_MEDIA_TYPE *pmt = nullptr;
        ok = sinks[i].get() && SUCCEEDED(outputs[i]->EnumMediaTypes(&types)) &&
             types->Next(1, &pmt, nullptr) == S_OK;
        if (!ok)
            break;
        AM_MEDIA_TYPE partial = {};
        partial.majortype = pmt->majortype;
        partial.subtype = IsEqualGUID(pmt->majortype, MEDIATYPE_Video) ? MEDIASUBTYPE_RGB32 : MEDIASUBTYPE_PCM;
        CoTaskMemFree(pmt->pbFormat);
        if (pmt->pUnk)
            pmt->pUnk->Release();
        CoTaskMemFree(pmt);
        sinks[i]->AcceptMajorType(partial.majortype);
        sinks[i]->SetHashBytes(false);
        ok = SUCCEEDED(graph->AddFilter(sinks[i]->Filter(), nullptr)) &&
             SUCCEEDED(graph->ConnectDirect(outputs[i].Get(), sinks[i]->Pin(), &partial));
        ends.push_back(sinks[i]->EndOfStreamEvent());
    }
    ComPtr<IMediaFilter> mediaFilter;
    ComPtr<IMediaControl> control;
    ok = ok && SUCCEEDED(graph.As(&mediaFilter)) && SUCCEEDED(mediaFilter->SetSyncSource(nullptr)) &&
         SUCCEEDED(graph.As(&control));
    if (ok) {
        const double t0 = Now();
        ok = SUCCEEDED(control->Run()) &&
             WaitForMultipleObjects(DWORD(ends.size()), ends.data(), TRUE, 120000) < WAIT_OBJECT_0 + ends.size();
        *pSeconds = Now() - t0;
        control->Stop();
    }
    *pSamples = *pBytes = 0;
    for (SinkRef &sink : sinks) {
        for (const testsupport::SinkRecord &r : sink->Samples()) {
            ++*pSamples;
            *pBytes += size_t(r.lActual);
        }
    }
    // The graph holds the sinks; it goes first, through its own release.
    outputs.clear();
    control.Reset();
    mediaFilter.Reset();
    graph.Reset();
    return ok;
}

bool Graph(const char *movie, bool peer)
{
    double best = 1e9;
    size_t samples = 0, bytes = 0;
    for (int round = 0; round < kRounds; round++) {
        double t = 0;
        if (!Pass(movie, peer, &t, &samples, &bytes))
            return false;
        best = t < best ? t : best;
    }
    std::printf("%s %s samples %zu bytes %zu seconds %.6f\n", peer ? "gstreamer" : "graph", movie,
                samples, bytes, best);
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

    ComPtr<IMediaSeeking> seeking;
    if (FAILED(pin->NonDelegatingQueryInterface(IID_IMediaSeeking,
                                                reinterpret_cast<void **>(seeking.GetAddressOf()))))
        return false;
    const LONGLONG scale = GetMovieTimeScale(filter->m_movie);

    // Per frame: QuickTime draws the frame at the pin's next time (decoding it), the pin fills
    // (drawing the decoded frame again, then its own work), and QuickTime draws it once more.
    // The fill less that last drawing is the pin's own work; both draw the same decoded frame
    // into the same world, so the drawing cancels out and the decoding is in neither.
    // Medians over every frame of every round: a frame preempted or evicted from the cache
    // moves a sum, not a median.
    std::vector<double> fills, draws, owns;
    double bestCopy = 1e9;
    int frames = 0;
    for (int round = 0; round < kRounds; round++) {
        if (FAILED(pin->OnThreadCreate()))
            return false;
        frames = 0;
        for (;;) {
            LONGLONG current = 0, stop = 0;
            if (FAILED(seeking->GetPositions(&current, &stop)) || current >= stop)
                break;
            const TimeValue t = TimeValue(current * scale / 10000000);
            SetMovieTimeValue(filter->m_movie, t);
            MoviesTask(filter->m_movie, 0);
            double t0 = Now();
            if (pin->FillBuffer(sample.Get()) != S_OK)
                break;
            const double t1 = Now();
            SetMovieTimeValue(filter->m_movie, t);
            MoviesTask(filter->m_movie, 0);
            const double t2 = Now();
            fills.push_back(t1 - t0);
            draws.push_back(t2 - t1);
            owns.push_back((t1 - t0) - (t2 - t1));
            frames++;
        }
        if (frames == 0)
            return false;
        double t0 = Now();
        for (int n = 0; n < frames; n++) {
            source[size_t(n) % source.size()] = BYTE(n);
            std::memcpy(pSample, source.data(), size_t(frame));
        }
        const double copy = (Now() - t0) / frames;
        bestCopy = std::min(bestCopy, copy);
    }
    sample.Reset();
    allocator->Decommit();
    std::printf("fill %s frames %d fill_ns %.0f draw_ns %.0f own_ns %.0f copy_ns %.0f\n", movie,
                frames, Median(fills) * 1e9, Median(draws) * 1e9, Median(owns) * 1e9,
                bestCopy * 1e9);
    return true;
}

// From IMediaSeeking::SetPositions on the paused video pin to the first frame it delivers at the
// new position: the flush, the restart of its worker, and the decoding from the sync sample
// before the target. The sink holds each frame in Receive, so the pin waits between seeks.
// A new graph: the movie's source, its first pin connected to the sink in RGB32, unhashed.
bool VideoToSink(const char *movie, bool blockReceive, ComPtr<IGraphBuilder> &graph,
                 std::vector<ComPtr<IPin>> &outputs, SinkRef &sink)
{
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph))))
        return false;
    if (!AddSource(graph.Get(), movie, false, &outputs) || outputs.empty())
        return false;
    AM_MEDIA_TYPE partial = {};
    partial.majortype = MEDIATYPE_Video;
    partial.subtype = MEDIASUBTYPE_RGB32;
    sink->AcceptMajorType(MEDIATYPE_Video);
    sink->SetHashBytes(false);
    sink->SetBlockReceive(blockReceive);
    return SUCCEEDED(graph->AddFilter(sink->Filter(), nullptr)) &&
           SUCCEEDED(graph->ConnectDirect(outputs[0].Get(), sink->Pin(), &partial));
}

bool SeekLatency(const char *movie)
{
    ComPtr<IGraphBuilder> graph;
    std::vector<ComPtr<IPin>> outputs;
    SinkRef sink;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaFilter> mediaFilter;
    if (!VideoToSink(movie, true, graph, outputs, sink) ||
        FAILED(outputs[0].As(&seeking)) || FAILED(graph.As(&mediaFilter)) ||
        FAILED(mediaFilter->SetSyncSource(nullptr)) || FAILED(graph.As(&control)) ||
        FAILED(control->Pause()) || !sink->WaitForSamples(1, 20000))
        return false;
    LONGLONG duration = 0;
    seeking->GetDuration(&duration);
    std::vector<double> latencies;
    bool ok = duration > 0;
    for (int round = 0; round < kRounds && ok; round++) {
        // Positions in the second half of a two-second group of pictures, and across the movie.
        for (double at : {0.37, 0.81, 0.13, 0.66, 0.49}) {
            LONGLONG target = LONGLONG(at * double(duration));
            const size_t before = sink->Samples().size();
            const double t0 = Now();
            if (FAILED(seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr,
                                             AM_SEEKING_NoPositioning)) ||
                !sink->WaitForSamples(before + 1, 20000)) {
                ok = false;
                break;
            }
            latencies.push_back(Now() - t0);
        }
    }
    sink->SetBlockReceive(false);
    control->Stop();
    outputs.clear();
    seeking.Reset();
    control.Reset();
    mediaFilter.Reset();
    graph.Reset();
    if (!ok)
        return false;
    std::printf("seek %s median_ms %.1f max_ms %.1f\n", movie, Median(latencies) * 1e3,
                *std::max_element(latencies.begin(), latencies.end()) * 1e3);
    return true;
}

// From Run on a graph just built, as a player's (the system clock; nothing paused before) to the
// first frame the video pin delivers: opening the decoders, decoding the first frame, drawing
// it. A new filter and graph each round.
bool StartUp(const char *movie)
{
    std::vector<double> latencies;
    for (int round = 0; round < kRounds + 2; round++) {
        ComPtr<IGraphBuilder> graph;
        std::vector<ComPtr<IPin>> outputs;
        SinkRef sink;
        ComPtr<IMediaControl> control;
        if (!VideoToSink(movie, false, graph, outputs, sink) || FAILED(graph.As(&control)))
            return false;
        const double t0 = Now();
        const bool ok = SUCCEEDED(control->Run()) && sink->WaitForSamples(1, 20000);
        const double t1 = Now();
        control->Stop();
        outputs.clear();
        control.Reset();
        graph.Reset();
        if (!ok)
            return false;
        latencies.push_back(t1 - t0);
    }
    std::printf("startup %s median_ms %.1f max_ms %.1f\n", movie, Median(latencies) * 1e3,
                *std::max_element(latencies.begin(), latencies.end()) * 1e3);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s QUICKTIME.qts [--no-peer] VIDEO.mov... [--seek VIDEO.mov] [--startup VIDEO.mov] [--audio AUDIO.mov...]\n",
                     argv[0]);
        return 2;
    }
    if (!LoadLibraryW(WidePath(argv[1]).c_str())) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    int rc = 0;
    bool audio = false, peer = true;
    for (int i = 2; i < argc && rc == 0; i++) {
        if (std::strcmp(argv[i], "--no-peer") == 0) {
            peer = false;
            continue;
        }
        if (std::strcmp(argv[i], "--audio") == 0) {
            audio = true;
            continue;
        }
        if (std::strcmp(argv[i], "--startup") == 0 && i + 1 < argc) {
            if (!StartUp(argv[++i])) {
                std::fprintf(stderr, "measuring the start of %s failed\n", argv[i]);
                rc = 1;
            }
            continue;
        }
        if (std::strcmp(argv[i], "--seek") == 0 && i + 1 < argc) {
            if (!SeekLatency(argv[++i])) {
                std::fprintf(stderr, "measuring seeks in %s failed\n", argv[i]);
                rc = 1;
            }
            continue;
        }
        if (!Graph(argv[i], false) || (!audio && !Fill(argv[i]))) {
            std::fprintf(stderr, "measuring %s failed\n", argv[i]);
            rc = 1;
        }
        // The peer is optional: it needs the 32-bit GStreamer plugins.
        if (rc == 0 && peer && !Graph(argv[i], true))
            std::printf("gstreamer %s unavailable\n", argv[i]);
    }
    CoUninitialize();
    return rc;
}
