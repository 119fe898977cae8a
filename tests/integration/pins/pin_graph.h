// The filter as a host plays it: created by its class identifier, loaded with a movie, joined
// to Wine's filter graph manager with a test sink on every pin, run without a clock. Also the
// references (ffmpeg's decoding of the same movies) and what a test needs to compare against
// them: the sample grid of a video stream and the segments the sinks recorded.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "test_sink.h"

using Microsoft::WRL::ComPtr;

// Set by main from the command line.
struct PinTestConfig {
    std::string mediaDir;  // Linux form
    bool legacy = false;   // the 7.0.4 stand-in: one pin per sound track
};
extern PinTestConfig g_config;

std::string MediaPath(const std::string &name);  // Windows form
std::vector<uint8_t> ReadMedia(const std::string &name);

// The sample grid of a video stream as ffprobe reported it (NAME.vN.probe).
// ffmpeg's view of a video stream: its size, and the presentation time and duration of each
// frame it decodes, in the order of its raw frames.
struct VideoGrid {
    long width = 0, height = 0;
    LONGLONG timeBase = 0;      // units per second of the stream
    LONGLONG durationTs = 0;
    LONGLONG frames = 0;
    std::vector<LONGLONG> pts, durations;  // stream units
    bool valid() const { return timeBase > 0 && frames > 0 && LONGLONG(pts.size()) == frames; }
    // Frame k's start and end in 100 ns units, truncated as a pin's stamps are.
    REFERENCE_TIME Start(LONGLONG k) const;
    REFERENCE_TIME End(LONGLONG k) const;
    // The source frame shown at a time given in 100 ns units (the first before any).
    LONGLONG FrameAt(REFERENCE_TIME rt) const;
    // The same for a sample's position (its segment's start plus its stamp), which may fall two
    // 100 ns units short of its frame's exact start (each of the two is truncated).
    LONGLONG FrameOfStamp(REFERENCE_TIME rt) const;
};
VideoGrid ReadGrid(const std::string &movie, int stream);

// One sample with its position in the movie: the segment's start plus its own start.
struct PlacedSample {
    REFERENCE_TIME position;
    const testsupport::SinkRecord *record;
};
// The recorded samples of each segment, in arrival order; a segment begins at a NewSegment.
std::vector<std::vector<PlacedSample>> Segments(const std::vector<testsupport::SinkRecord> &records);
// All the bytes of the recorded samples, in order.
std::vector<uint8_t> Concatenated(const std::vector<testsupport::SinkRecord> &records);
size_t EndOfStreamCount(const std::vector<testsupport::SinkRecord> &records);

class TestSinkRef {
public:
    TestSinkRef() : m_p(testsupport::TestSink::Create()) {}
    ~TestSinkRef() { if (m_p) m_p->Release(); }
    TestSinkRef(const TestSinkRef &) = delete;
    TestSinkRef &operator=(const TestSinkRef &) = delete;
    testsupport::TestSink *operator->() const { return m_p; }
    testsupport::TestSink *get() const { return m_p; }

private:
    testsupport::TestSink *m_p;
};

// A source filter with one connected sink per pin, in a graph without a clock.
class PinGraph {
public:
    PinGraph() = default;
    ~PinGraph();
    PinGraph(const PinGraph &) = delete;
    PinGraph &operator=(const PinGraph &) = delete;

    // Creates the filter, loads the movie and connects every pin; S_OK or the failing step's.
    HRESULT Open(const std::string &movie, std::string *pWhere);
    size_t PinCount() const { return m_pins.size(); }
    IPin *Pin(size_t i) const { return m_pins[i].Get(); }
    ComPtr<IMediaSeeking> Seeking(size_t i) const;
    testsupport::TestSink *Sink(size_t i) const { return m_sinks[i]->get(); }
    // The pin's connection type (owned by the sink).
    AM_MEDIA_TYPE Type(size_t i) const { return m_sinks[i]->get()->ConnectionType(); }
    bool IsVideo(size_t i) const;
    IMediaControl *Control() const { return m_control.Get(); }

    // Runs until every sink had end-of-stream (false after timeoutMs), then stops.
    bool Play(DWORD timeoutMs = 20000);
    HRESULT Stop() { return m_control ? m_control->Stop() : E_UNEXPECTED; }
    void ClearRecords();

private:
    ComPtr<IGraphBuilder> m_graph;
    ComPtr<IMediaControl> m_control;
    ComPtr<IBaseFilter> m_source;
    std::vector<ComPtr<IPin>> m_pins;
    std::vector<std::unique_ptr<TestSinkRef>> m_sinks;
};

// Registers the module for CoCreateInstance (again, when another test took it away).
HRESULT EnsureRegistered();
bool SetUpModules(const std::string &modulePath, const std::string &quickTimePath);
