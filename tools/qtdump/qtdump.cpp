// qtdump: plays a movie through the QuickTime source filter in a DirectShow graph and shows
// what came out.
//   qtdump info MOVIE                 the pins, their media types, durations and format codes
//   qtdump dump MOVIE OUTDIR [--start S] [--stop S] [--frames N] [--raw]
//                                     runs the graph without a clock and writes every pin's
//                                     output: frames as BMP files (or one raw file), sound as WAV
// Options of both: --module PATH (the filter module; default: the one beside this program),
// --quicktime PATH (the QuickTime.qts to load first; default: the build tree's stand-in).
// Exit status: 0 done, 1 the movie or the graph failed, 2 wrong arguments.
#include <windows.h>
#include <dshow.h>
#include <shellapi.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "mediatext.h"
#include "moviegraph.h"
#include "pins/movieinterfaces.h"
#include "streamwriters.h"

namespace {

const DWORD kStallMs = 30000;    // no sample on any pin for this long: the dump fails
const DWORD kProgressMs = 200;

struct Options {
    std::wstring command, movie, outDir, module, quickTime;
    double start = -1, stop = -1;
    long frames = 0;
    bool bRaw = false;
};

class ComScope {
public:
    ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};

void Usage()
{
    fprintf(stderr, "usage: qtdump info MOVIE [--module AX] [--quicktime QTS]\n"
                    "       qtdump dump MOVIE OUTDIR [--start SECONDS] [--stop SECONDS] "
                    "[--frames N] [--raw] [--module AX] [--quicktime QTS]\n");
}

std::wstring ProgramDirectory()
{
    wchar_t path[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring p(path, n < MAX_PATH * 2 ? n : 0);
    const size_t slash = p.find_last_of(L'\\');
    return slash == std::wstring::npos ? L"." : p.substr(0, slash);
}

bool ParseNumber(const wchar_t *text, double *out)
{
    wchar_t *end = nullptr;
    const double v = wcstod(text, &end);
    if (!end || end == text || *end || !std::isfinite(v) || v < 0)
        return false;
    *out = v;
    return true;
}

bool ParseArguments(int argc, wchar_t **argv, Options *o)
{
    std::vector<std::wstring> positional;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == L"--raw") {
            o->bRaw = true;
        } else if (a == L"--start" && hasValue) {
            if (!ParseNumber(argv[++i], &o->start))
                return false;
        } else if (a == L"--stop" && hasValue) {
            if (!ParseNumber(argv[++i], &o->stop))
                return false;
        } else if (a == L"--frames" && hasValue) {
            double n = 0;
            if (!ParseNumber(argv[++i], &n) || n < 1 || n > 1e9 || n != std::floor(n))
                return false;
            o->frames = long(n);
        } else if (a == L"--module" && hasValue) {
            o->module = argv[++i];
        } else if (a == L"--quicktime" && hasValue) {
            o->quickTime = argv[++i];
        } else if (a.size() > 1 && a[0] == L'-' && a[1] == L'-') {
            return false;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.empty())
        return false;
    o->command = positional[0];
    if (o->command == L"info" && positional.size() == 2) {
        o->movie = positional[1];
    } else if (o->command == L"dump" && positional.size() == 3) {
        o->movie = positional[1];
        o->outDir = positional[2];
    } else {
        return false;
    }
    if (o->start >= 0 && o->stop >= 0 && o->stop <= o->start)
        return false;
    const std::wstring dir = ProgramDirectory();
    if (o->module.empty())
        o->module = dir + L"\\QuorvexTavrolin.ax";
    if (o->quickTime.empty()) {
        const std::wstring standin = dir + L"\\..\\standin\\default\\QuickTime.qts";
        if (GetFileAttributesW(standin.c_str()) != INVALID_FILE_ATTRIBUTES)
            o->quickTime = standin;
    }
    return true;
}

double Seconds(REFERENCE_TIME t)
{
    return double(t) / 1e7;
}

// A pin's duration in a time format other than reference time, or -1.
LONGLONG DurationIn(IMediaSeeking *pSeeking, const GUID &format)
{
    LONGLONG value = -1;
    if (!pSeeking || pSeeking->IsFormatSupported(&format) != S_OK)
        return -1;
    if (SUCCEEDED(pSeeking->SetTimeFormat(&format)) && FAILED(pSeeking->GetDuration(&value)))
        value = -1;
    pSeeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME);
    return value;
}

std::string FormatCodes(IPin *pPin)
{
    ComPtr<IMovieStreamInfo> info;
    if (FAILED(pPin->QueryInterface(IID_IMovieStreamInfo, info.OutVoid())))
        return "";
    DWORD source = 0, output = 0;
    if (FAILED(info->GetSourceFormat(&source)) || FAILED(info->GetOutputFormat(&output)))
        return "";
    return ", " + FourCCText(source) + (output != source ? " as " + FourCCText(output) : "");
}

int Info(MovieGraph &graph)
{
    for (MoviePin &p : graph.Pins()) {
        const AM_MEDIA_TYPE &mt = p.sink->ConnectionType();
        printf("%s: %s%s\n", Utf8(p.name).c_str(), MediaTypeText(mt).c_str(),
               FormatCodes(p.pin.Get()).c_str());
        LONGLONG duration = 0;
        if (p.seeking && SUCCEEDED(p.seeking->GetDuration(&duration))) {
            printf("  duration %.3f s", Seconds(duration));
            const LONGLONG frames = DurationIn(p.seeking.Get(), TIME_FORMAT_FRAME);
            if (p.bVideo && frames >= 0)
                printf(", %lld frames", frames);
            if (!p.bVideo && mt.cbFormat >= sizeof(WAVEFORMATEX)) {
                const WAVEFORMATEX *pwfx = reinterpret_cast<const WAVEFORMATEX *>(mt.pbFormat);
                printf(", %lld sample frames at %lu Hz",
                       LONGLONG(double(duration) * pwfx->nSamplesPerSec / 1e7 + 0.5),
                       static_cast<unsigned long>(pwfx->nSamplesPerSec));
            }
            printf("\n");
        }
        ComPtr<IMovieVideoInfo> video;
        LONG fps = 0;
        if (SUCCEEDED(p.pin->QueryInterface(IID_IMovieVideoInfo, video.OutVoid())) &&
            SUCCEEDED(video->GetFramesPerSecond(&fps)))
            printf("  frame rate %ld fps (truncated)\n", static_cast<long>(fps));
        ComPtr<IMovieAudioInfo> audio;
        LONG rate = 0;
        if (SUCCEEDED(p.pin->QueryInterface(IID_IMovieAudioInfo, audio.OutVoid())) &&
            SUCCEEDED(audio->GetSampleRate(&rate)))
            printf("  source sample rate %ld Hz%s\n", static_cast<long>(rate),
                   audio->IsMpeg4Audio() == S_OK ? ", MPEG-4 audio" : "");
    }
    return 0;
}

// What a dump writes for one pin.
struct PinOutput {
    MoviePin *pPin = nullptr;
    std::unique_ptr<FrameWriter> frames;
    std::unique_ptr<WaveWriter> wave;
    DWORD nBlockAlign = 0, nSamplesPerSec = 0;
    REFERENCE_TIME tFrame = 0;
    REFERENCE_TIME tStart = 0, tStop = 0; // after snapping
};

double SoundSeconds(const PinOutput &o, const SinkCounts &c)
{
    if (!o.nBlockAlign || !o.nSamplesPerSec)
        return 0;
    return double(c.cBytes / o.nBlockAlign) / double(o.nSamplesPerSec);
}

std::string ProgressLine(std::vector<PinOutput> &outputs, REFERENCE_TIME tBegin, REFERENCE_TIME tEnd)
{
    // The stream's position is that of its slowest pin still delivering.
    REFERENCE_TIME tPosition = -1, tLatest = 0;
    std::string parts;
    char text[96];
    for (PinOutput &o : outputs) {
        const SinkCounts c = o.pPin->sink->Counts();
        if (c.tLastStop > tLatest)
            tLatest = c.tLastStop;
        if (!c.bEndOfStream && (tPosition < 0 || c.tLastStop < tPosition))
            tPosition = c.tLastStop;
        if (o.pPin->bVideo)
            snprintf(text, sizeof text, "   %s %lld frames", Utf8(o.pPin->file).c_str(), c.cSamples);
        else
            snprintf(text, sizeof text, "   %s %.2f s", Utf8(o.pPin->file).c_str(), SoundSeconds(o, c));
        parts += text;
    }
    if (tPosition < 0)
        tPosition = tLatest;
    if (tEnd > tBegin && tBegin + tPosition > tEnd)
        tPosition = tEnd - tBegin; // sound past the stop is not written
    snprintf(text, sizeof text, "%8.2f / %.2f s", Seconds(tBegin + tPosition), Seconds(tEnd));
    return text + parts;
}

// Positions every pin at [start, stop) when asked; the pins snap them to samples.
HRESULT Seek(std::vector<PinOutput> &outputs, REFERENCE_TIME tStart, bool bStart,
             REFERENCE_TIME tStop, bool bStop, std::string *pError)
{
    for (PinOutput &o : outputs) {
        IMediaSeeking *s = o.pPin->seeking.Get();
        if (!s) {
            *pError = "pin '" + Utf8(o.pPin->name) + "' cannot seek";
            return E_NOINTERFACE;
        }
        LONGLONG start = tStart, stop = tStop;
        HRESULT hr = S_OK;
        if (bStart || bStop)
            hr = s->SetPositions(&start, bStart ? AM_SEEKING_AbsolutePositioning : AM_SEEKING_NoPositioning,
                                 &stop, bStop ? AM_SEEKING_AbsolutePositioning : AM_SEEKING_NoPositioning);
        if (SUCCEEDED(hr))
            hr = s->GetPositions(&o.tStart, &o.tStop);
        if (FAILED(hr)) {
            *pError = "pin '" + Utf8(o.pPin->name) + "' refused the positions: " + ErrorText(hr);
            return hr;
        }
    }
    return S_OK;
}

int Dump(MovieGraph &graph, const Options &opt)
{
    std::string error;
    if (!CreateDirectoryW(opt.outDir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        fprintf(stderr, "qtdump: '%s': cannot make the output folder: %s\n", Utf8(opt.outDir).c_str(),
                ErrorText(HRESULT_FROM_WIN32(GetLastError())).c_str());
        return 1;
    }
    std::vector<PinOutput> outputs(graph.Pins().size());
    REFERENCE_TIME tFrame = 0;
    for (size_t i = 0; i < outputs.size(); ++i) {
        PinOutput &o = outputs[i];
        o.pPin = &graph.Pins()[i];
        const AM_MEDIA_TYPE &mt = o.pPin->sink->ConnectionType();
        HRESULT hr;
        if (o.pPin->bVideo) {
            o.frames.reset(new FrameWriter(opt.outDir, o.pPin->file, opt.bRaw));
            hr = o.frames->Begin(mt);
            if (SUCCEEDED(hr)) {
                o.tFrame = reinterpret_cast<const VIDEOINFOHEADER *>(mt.pbFormat)->AvgTimePerFrame;
                if (!tFrame)
                    tFrame = o.tFrame;
                o.pPin->sink->SetWriter(o.frames.get());
                if (opt.frames > 0)
                    o.pPin->sink->SetSampleLimit(opt.frames);
            }
        } else {
            o.wave.reset(new WaveWriter(opt.outDir, o.pPin->file));
            hr = o.wave->Begin(mt);
            if (SUCCEEDED(hr)) {
                const WAVEFORMATEX *pwfx = reinterpret_cast<const WAVEFORMATEX *>(mt.pbFormat);
                o.nBlockAlign = pwfx->nBlockAlign;
                o.nSamplesPerSec = pwfx->nSamplesPerSec;
                o.pPin->sink->SetWriter(o.wave.get());
            }
        }
        if (FAILED(hr)) {
            fprintf(stderr, "qtdump: '%s': cannot write what pin '%s' delivers: %s\n",
                    Utf8(opt.outDir).c_str(), Utf8(o.pPin->name).c_str(), ErrorText(hr).c_str());
            return 1;
        }
    }

    const bool bStart = opt.start >= 0;
    bool bStop = opt.stop >= 0;
    const REFERENCE_TIME tStart = bStart ? REFERENCE_TIME(std::llround(opt.start * 1e7)) : 0;
    REFERENCE_TIME tStop = bStop ? REFERENCE_TIME(std::llround(opt.stop * 1e7)) : 0;
    // A frame count also ends the sound at the same time.
    if (opt.frames > 0 && tFrame > 0) {
        const REFERENCE_TIME tFrames = tStart + REFERENCE_TIME(opt.frames) * tFrame;
        if (!bStop || tFrames < tStop)
            tStop = tFrames;
        bStop = true;
    }
    HRESULT hr = Seek(outputs, tStart, bStart, tStop, bStop, &error);
    if (FAILED(hr)) {
        fprintf(stderr, "qtdump: %s\n", error.c_str());
        return 1;
    }
    REFERENCE_TIME tBegin = outputs.empty() ? 0 : outputs[0].tStart, tEnd = 0;
    for (const PinOutput &o : outputs) {
        if (o.tStart < tBegin)
            tBegin = o.tStart;
        if (o.tStop > tEnd)
            tEnd = o.tStop;
    }
    if (bStart || bStop) {
        for (const PinOutput &o : outputs)
            printf("%s: from %.4f s to %.4f s (%lld to %lld)\n", Utf8(o.pPin->file).c_str(),
                   Seconds(o.tStart), Seconds(o.tStop), o.tStart, o.tStop);
    }

    ComPtr<IMediaFilter> filter;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    hr = graph.Graph()->QueryInterface(IID_IMediaFilter, filter.OutVoid());
    if (SUCCEEDED(hr))
        hr = filter->SetSyncSource(nullptr); // as fast as the graph can deliver
    if (SUCCEEDED(hr))
        hr = graph.Graph()->QueryInterface(IID_IMediaControl, control.OutVoid());
    if (SUCCEEDED(hr))
        hr = graph.Graph()->QueryInterface(IID_IMediaEvent, events.OutVoid());
    if (FAILED(hr)) {
        fprintf(stderr, "qtdump: cannot drive the graph: %s\n", ErrorText(hr).c_str());
        return 1;
    }

    const DWORD t0 = GetTickCount();
    hr = control->Run();
    if (FAILED(hr)) {
        fprintf(stderr, "qtdump: '%s': the graph does not run: %s\n", Utf8(opt.movie).c_str(),
                ErrorText(hr).c_str());
        control->Stop();
        return 1;
    }
    DWORD tLastChange = GetTickCount(), tLastProgress = 0;
    LONGLONG lastTotal = -1;
    std::string failure;
    for (;;) {
        long code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        if (events->GetEvent(&code, &p1, &p2, 100) == S_OK) {
            events->FreeEventParams(code, p1, p2);
            if (code == EC_ERRORABORT || code == EC_STREAM_ERROR_STOPPED) {
                failure = "the graph stopped with an error: " + ErrorText(HRESULT(p1));
                break;
            }
            if (code == EC_USERABORT) {
                failure = "the graph was stopped";
                break;
            }
        }
        bool bAllEnded = true;
        LONGLONG total = 0;
        for (PinOutput &o : outputs) {
            const SinkCounts c = o.pPin->sink->Counts();
            if (FAILED(c.hrWrite)) {
                failure = "cannot write what pin '" + Utf8(o.pPin->name) + "' delivers: " + ErrorText(c.hrWrite);
                break;
            }
            bAllEnded = bAllEnded && c.bEndOfStream;
            total += c.cBytes;
        }
        if (!failure.empty())
            break;
        const DWORD now = GetTickCount();
        if (total != lastTotal) {
            lastTotal = total;
            tLastChange = now;
        } else if (!bAllEnded && now - tLastChange > kStallMs) {
            failure = "the graph stopped delivering before the end of the streams";
            break;
        }
        if (bAllEnded || now - tLastProgress >= kProgressMs) {
            printf("\r%s", ProgressLine(outputs, tBegin, tEnd).c_str());
            fflush(stdout);
            tLastProgress = now;
        }
        if (bAllEnded)
            break;
    }
    printf("\n");
    control->Stop();
    const double seconds = double(GetTickCount() - t0) / 1000.0;
    if (!failure.empty()) {
        fprintf(stderr, "qtdump: '%s': %s\n", Utf8(opt.movie).c_str(), failure.c_str());
        return 1; // the writers remove their temporary files
    }

    LONGLONG cFrames = 0;
    for (PinOutput &o : outputs) {
        hr = o.frames ? o.frames->Commit() : o.wave->Commit();
        if (FAILED(hr)) {
            fprintf(stderr, "qtdump: cannot finish the files of pin '%s': %s\n",
                    Utf8(o.pPin->name).c_str(), ErrorText(hr).c_str());
            return 1;
        }
    }
    for (PinOutput &o : outputs) {
        const SinkCounts c = o.pPin->sink->Counts();
        const std::string path = Utf8(o.frames ? o.frames->FinalPath() : o.wave->FinalPath());
        if (c.cbClipped > 0)
            printf("%s: %lld bytes delivered past the stop were not written\n",
                   Utf8(o.pPin->file).c_str(), c.cbClipped);
        if (o.frames) {
            cFrames += c.cSamples;
            printf("%s: %lld frames, %lld discontinuit%s -> %s\n", Utf8(o.pPin->file).c_str(),
                   c.cSamples, c.cDiscontinuities, c.cDiscontinuities == 1 ? "y" : "ies", path.c_str());
        } else {
            printf("%s: %lld sample frames (%.3f s) in %lld buffers, %lld discontinuit%s -> %s\n",
                   Utf8(o.pPin->file).c_str(), o.nBlockAlign ? c.cBytes / o.nBlockAlign : 0,
                   SoundSeconds(o, c), c.cSamples, c.cDiscontinuities,
                   c.cDiscontinuities == 1 ? "y" : "ies", path.c_str());
        }
    }
    printf("time taken %.2f s, %.1f frames per second\n", seconds,
           seconds > 0 ? double(cFrames) / seconds : 0.0);
    return 0;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return 2;
    Options opt;
    const bool ok = ParseArguments(argc, argv, &opt);
    LocalFree(argv);
    if (!ok) {
        Usage();
        return 2;
    }
    ComScope com;
    if (FAILED(com.Result())) {
        fprintf(stderr, "qtdump: COM does not start: %s\n", ErrorText(com.Result()).c_str());
        return 1;
    }
    int rc;
    {
        MovieGraph graph;
        std::string error;
        if (FAILED(graph.Open(opt.module, opt.quickTime, opt.movie, &error))) {
            fprintf(stderr, "qtdump: %s\n", error.c_str());
            return 1;
        }
        rc = opt.command == L"info" ? Info(graph) : Dump(graph, opt);
    }
    return rc;
}
