// Tests receive the build tree's paths from CTest as Linux paths; Wine maps the Linux root to
// drive Z:, so "/work/x.ax" is "Z:\work\x.ax" to the Windows code under test.
#pragma once

#include <string>

inline std::string WindowsPathFromHost(const std::string &path)
{
    if (path.empty() || path[0] != '/')
        return path;
    std::string out = "Z:" + path;
    for (char &c : out) {
        if (c == '/')
            c = '\\';
    }
    return out;
}

inline std::wstring WidePath(const std::string &path)
{
    std::string p = WindowsPathFromHost(path);
    return std::wstring(p.begin(), p.end()); // build-tree paths are ASCII
}
