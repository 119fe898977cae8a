#include "pin_graph.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include "testpaths.h"

PinTestConfig g_config;

namespace {

// {2D01BA43-D2CB-409B-AA33-E433F02496D3}
const CLSID CLSID_MovieSource = {0x2d01ba43, 0xd2cb, 0x409b,
                                 {0xaa, 0x33, 0xe4, 0x33, 0xf0, 0x24, 0x96, 0xd3}};

HMODULE g_module = nullptr;  // loaded for the whole run, so the class stays registrable

}  // namespace

std::string MediaPath(const std::string &name)
{
    return WindowsPathFromHost(g_config.mediaDir + "/" + name);
}

std::vector<uint8_t> ReadMedia(const std::string &name)
{
    std::ifstream in(MediaPath(name), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

REFERENCE_TIME VideoGrid::Start(LONGLONG k) const
{
    return pts[size_t(k)] * 10000000 / timeBase;
}

REFERENCE_TIME VideoGrid::End(LONGLONG k) const
{
    return (pts[size_t(k)] + durations[size_t(k)]) * 10000000 / timeBase;
}

LONGLONG VideoGrid::FrameAt(REFERENCE_TIME rt) const
{
    // The last frame whose start is at or before rt, compared exactly in stream units.
    LONGLONG k = 0;
    for (size_t i = 0; i < pts.size(); i++)
        if (pts[i] * 10000000 <= rt * timeBase)
            k = LONGLONG(i);
    return k;
}

LONGLONG VideoGrid::FrameOfStamp(REFERENCE_TIME rt) const
{
    return FrameAt(rt + 2);
}

VideoGrid ReadGrid(const std::string &movie, int stream)
{
    VideoGrid grid;
    const std::string name = movie + ".v" + std::to_string(stream);
    std::ifstream in(MediaPath(name + ".probe"));
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        const LONGLONG number = std::atoll(value.c_str() + (key == "time_base" ? 2 : 0));
        if (key == "width")
            grid.width = long(number);
        else if (key == "height")
            grid.height = long(number);
        else if (key == "time_base")
            grid.timeBase = number;  // "1/N"
        else if (key == "duration_ts")
            grid.durationTs = number;
        else if (key == "nb_frames")
            grid.frames = number;
    }
    std::ifstream times(MediaPath(name + ".times"));
    while (std::getline(times, line)) {
        if (line.empty())
            continue;
        const size_t comma = line.find(',');
        grid.pts.push_back(std::atoll(line.c_str()));
        grid.durations.push_back(comma == std::string::npos ? 0 : std::atoll(line.c_str() + comma + 1));
    }
    return grid;
}

std::vector<std::vector<PlacedSample>> Segments(const std::vector<testsupport::SinkRecord> &records)
{
    std::vector<std::vector<PlacedSample>> segments;
    REFERENCE_TIME segmentStart = 0;
    for (const testsupport::SinkRecord &r : records) {
        if (r.kind == testsupport::SinkRecord::kNewSegment) {
            segmentStart = r.tStart;
            segments.emplace_back();
        } else if (r.kind == testsupport::SinkRecord::kSample && !segments.empty()) {
            segments.back().push_back({segmentStart + r.tStart, &r});
        }
    }
    return segments;
}

std::vector<uint8_t> Concatenated(const std::vector<testsupport::SinkRecord> &records)
{
    std::vector<uint8_t> bytes;
    for (const testsupport::SinkRecord &r : records) {
        if (r.kind == testsupport::SinkRecord::kSample)
            bytes.insert(bytes.end(), r.bytes.begin(), r.bytes.end());
    }
    return bytes;
}

size_t EndOfStreamCount(const std::vector<testsupport::SinkRecord> &records)
{
    size_t n = 0;
    for (const testsupport::SinkRecord &r : records)
        n += r.kind == testsupport::SinkRecord::kEndOfStream;
    return n;
}

bool SetUpModules(const std::string &modulePath, const std::string &quickTimePath)
{
    // Loaded first, so that the filter's loader takes this copy's folder.
    if (!LoadLibraryA(WindowsPathFromHost(quickTimePath).c_str()))
        return false;
    g_module = LoadLibraryA(WindowsPathFromHost(modulePath).c_str());
    return g_module && SUCCEEDED(EnsureRegistered());
}

HRESULT EnsureRegistered()
{
    typedef HRESULT(STDAPICALLTYPE * EntryFn)();
    const EntryFn registerServer = reinterpret_cast<EntryFn>(
        reinterpret_cast<void *>(GetProcAddress(g_module, "DllRegisterServer")));
    return registerServer ? registerServer() : E_FAIL;
}

PinGraph::~PinGraph()
{
    if (m_control)
        m_control->Stop();
    m_pins.clear();
    if (m_graph) {
        for (const auto &sink : m_sinks)
            m_graph->RemoveFilter(sink->get()->Filter());
        if (m_source)
            m_graph->RemoveFilter(m_source.Get());
    }
    m_control.Reset();
    m_graph.Reset();
    m_source.Reset();
}

HRESULT PinGraph::Open(const std::string &movie, std::string *pWhere)
{
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&m_graph));
    if (FAILED(hr))
        return *pWhere = "CLSID_FilterGraph", hr;
    hr = CoCreateInstance(CLSID_MovieSource, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&m_source));
    if (hr == REGDB_E_CLASSNOTREG && SUCCEEDED(EnsureRegistered()))
        hr = CoCreateInstance(CLSID_MovieSource, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&m_source));
    if (FAILED(hr))
        return *pWhere = "CoCreateInstance of the filter", hr;
    ComPtr<IFileSourceFilter> file;
    if (FAILED(hr = m_source.As(&file)))
        return *pWhere = "IFileSourceFilter", hr;
    const std::string path = MediaPath(movie);
    const std::wstring wide(path.begin(), path.end());
    if (FAILED(hr = file->Load(wide.c_str(), nullptr)))
        return *pWhere = "Load", hr;
    if (FAILED(hr = m_graph->AddFilter(m_source.Get(), L"source")))
        return *pWhere = "AddFilter", hr;

    ComPtr<IEnumPins> pins;
    if (FAILED(hr = m_source->EnumPins(&pins)))
        return *pWhere = "EnumPins", hr;
    for (;;) {
        ComPtr<IPin> pin;
        if (pins->Next(1, &pin, nullptr) != S_OK)
            break;
        m_pins.push_back(pin);
    }
    for (size_t i = 0; i < m_pins.size(); i++) {
        std::unique_ptr<TestSinkRef> sink(new TestSinkRef);
        if (!sink->get())
            return *pWhere = "TestSink::Create", E_OUTOFMEMORY;
        ComPtr<IEnumMediaTypes> types;
        AM_MEDIA_TYPE *pmt = nullptr;
        if (FAILED(hr = m_pins[i]->EnumMediaTypes(&types)) || types->Next(1, &pmt, nullptr) != S_OK)
            return *pWhere = "EnumMediaTypes", FAILED(hr) ? hr : E_FAIL;
        (*sink)->AcceptMajorType(pmt->majortype);
        if (pmt->cbFormat)
            CoTaskMemFree(pmt->pbFormat);
        if (pmt->pUnk)
            pmt->pUnk->Release();
        CoTaskMemFree(pmt);
        (*sink)->SetKeepBytes(true);
        const std::wstring name = L"sink " + std::to_wstring(i);
        if (FAILED(hr = m_graph->AddFilter((*sink)->Filter(), name.c_str())))
            return *pWhere = "AddFilter of a sink", hr;
        m_sinks.push_back(std::move(sink));
        if (FAILED(hr = m_graph->ConnectDirect(m_pins[i].Get(), m_sinks.back()->get()->Pin(), nullptr)))
            return *pWhere = "ConnectDirect of pin " + std::to_string(i), hr;
    }
    ComPtr<IMediaFilter> mediaFilter;
    if (FAILED(hr = m_graph.As(&mediaFilter)) || FAILED(hr = mediaFilter->SetSyncSource(nullptr)))
        return *pWhere = "SetSyncSource", hr;
    if (FAILED(hr = m_graph.As(&m_control)))
        return *pWhere = "IMediaControl", hr;
    return S_OK;
}

ComPtr<IMediaSeeking> PinGraph::Seeking(size_t i) const
{
    ComPtr<IMediaSeeking> seeking;
    m_pins[i].As(&seeking);
    return seeking;
}

bool PinGraph::IsVideo(size_t i) const
{
    return IsEqualGUID(Type(i).majortype, MEDIATYPE_Video) != FALSE;
}

bool PinGraph::Play(DWORD timeoutMs)
{
    if (!m_control || FAILED(m_control->Run()))
        return false;
    std::vector<HANDLE> events;
    for (const auto &sink : m_sinks)
        events.push_back(sink->get()->EndOfStreamEvent());
    const bool ended = events.empty() ||
                       WaitForMultipleObjects(DWORD(events.size()), events.data(), TRUE, timeoutMs) <
                           WAIT_OBJECT_0 + events.size();
    m_control->Stop();
    return ended;
}

void PinGraph::ClearRecords()
{
    for (const auto &sink : m_sinks)
        sink->get()->ClearRecords();
}
