#pragma once
// A movie in Wine's filter graph the way a player puts it there: the module registered (its
// DllRegisterServer, once, when the registry names another copy or none), the source filter
// found from the file's extension key ("Media Type\Extensions\.ext", value "Source Filter"),
// created, added and given the file through IFileSourceFilter, and each output pin connected
// to a WriterSink of its own. Every failure comes back as one line naming the reason.

#include <windows.h>
#include <dshow.h>

#include <string>
#include <vector>

#include "comptr.h"
#include "writersink.h"

struct MoviePin {
    ComPtr<IPin> pin;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<WriterSink> sink;
    std::wstring name;  // "Video Out 1"
    std::wstring file;  // "video1": the name of what the dump writes for it
    bool bVideo = false;
};

class MovieGraph {
public:
    MovieGraph() = default;
    ~MovieGraph();
    MovieGraph(const MovieGraph &) = delete;
    MovieGraph &operator=(const MovieGraph &) = delete;

    // Loads quickTimePath first when it is not empty (the filter then uses that copy).
    HRESULT Open(const std::wstring &modulePath, const std::wstring &quickTimePath,
                 const std::wstring &moviePath, std::string *pError);

    std::vector<MoviePin> &Pins() { return m_pins; }
    IBaseFilter *Source() const { return m_source.Get(); }
    IGraphBuilder *Graph() const { return m_graph.Get(); }

private:
    HRESULT EnsureRegistered(const std::wstring &modulePath, std::string *pError);
    HRESULT CreateSource(const std::wstring &moviePath, std::string *pError);
    HRESULT ConnectPins(std::string *pError);
    std::string OpenReason() const;

    HMODULE m_hQuickTime = nullptr;
    ComPtr<IGraphBuilder> m_graph;
    ComPtr<IBaseFilter> m_source;
    std::vector<MoviePin> m_pins;
};

// "0x80004005" and, when the system has words for it, the words.
std::string ErrorText(HRESULT hr);
