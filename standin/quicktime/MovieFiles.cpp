// Opening movies: native paths kept in a table behind FSSpec keys, movie files opened with
// their permission checked, and movies made from them by the engine.
#include <windows.h>

#include <cstring>
#include <map>
#include <string>

#include "MovieObjects.h"
#include "RoutineTable.h"

namespace {

// The paths behind FSSpec keys and the open movie files. A key is (vRefNum, parID); a file
// reference number indexes the open files. One lock guards both maps.
class FileTable {
public:
    SInt32 KeyForPath(const std::string &path)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (const auto &entry : m_paths) {
            if (entry.second == path)
                return entry.first;
        }
        const SInt32 key = m_nextKey++;
        m_paths[key] = path;
        return key;
    }
    bool PathForKey(SInt32 key, std::string *path)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_paths.find(key);
        if (found == m_paths.end())
            return false;
        *path = found->second;
        return true;
    }
    SInt16 AddOpenFile(const std::string &path)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (int tries = 0; tries < 0x7FFF; ++tries) {
            const SInt16 ref = m_nextRef;
            m_nextRef = SInt16(m_nextRef == 0x7FFF ? 1 : m_nextRef + 1);
            if (m_open.count(ref) == 0) {
                m_open[ref] = path;
                return ref;
            }
        }
        return 0;
    }
    bool OpenFilePath(SInt16 ref, std::string *path)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_open.find(ref);
        if (found == m_open.end())
            return false;
        *path = found->second;
        return true;
    }
    bool RemoveOpenFile(SInt16 ref)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_open.erase(ref) != 0;
    }

private:
    std::mutex m_lock;  // guards everything below
    std::map<SInt32, std::string> m_paths;
    std::map<SInt16, std::string> m_open;
    SInt32 m_nextKey = 1;
    SInt16 m_nextRef = 1;
};

// Why the calling thread's last NewMovieFromFile refused the movie or dropped a track.
thread_local std::string t_openReason;

FileTable &Files()
{
    static FileTable table;
    return table;
}

constexpr SInt16 kPathVolume = -1;  // the volume number of every path key
constexpr SInt8 fsCurPerm = 0, fsRdPerm = 1, fsWrPerm = 2, fsRdWrPerm = 3;
constexpr SInt16 movieInDataForkResID = -1;

class ScopedFile {
public:
    explicit ScopedFile(HANDLE h) : m_handle(h) {}
    ~ScopedFile()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle;
};

OSErr ErrorOfOpen(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return fnfErr;
    default:
        return permErr;
    }
}

// Opens and closes the file with the access asked for, so that a read-only file refuses
// write access here rather than at some later write.
OSErr CheckAccess(const std::string &path, DWORD access)
{
    // The attribute is checked as well: a privileged process may open a read-only file
    // for writing, and the permission must not depend on who runs the host.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ErrorOfOpen(GetLastError());
    if ((access & GENERIC_WRITE) && (attributes & FILE_ATTRIBUTE_READONLY))
        return permErr;
    ScopedFile file(CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsOpen() ? noErr : ErrorOfOpen(GetLastError());
}

void PutName(const std::string &path, Str255 name)
{
    const size_t slash = path.find_last_of("\\/:");
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t length = leaf.size() < 255 ? leaf.size() : 255;
    name[0] = UInt8(length);
    std::memcpy(name + 1, leaf.data(), length);
}

OSErr DisposeMovieObject(Movie theMovie)
{
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Remove(theMovie);
    if (!movie)
        return paramErr;
    std::vector<Track> tracks;
    std::vector<Media> media;
    {
        std::lock_guard<std::mutex> lock(movie->lock);
        tracks.swap(movie->tracks);
        media.swap(movie->media);
        movie->world.reset();
    }
    for (Track track : tracks)
        QtsTracks().Remove(track);
    for (Media m : media)
        QtsMedia().Remove(m);
    return noErr;
}

// Makes the handles of a newly opened movie: one track and one media per engine track.
OSErr PublishMovie(std::shared_ptr<const qte::Movie> engine, Movie *out)
{
    std::shared_ptr<QtsMovie> movie;
    try {
        movie = std::make_shared<QtsMovie>();
        movie->tracks.reserve(engine->trackCount());
        movie->media.reserve(engine->trackCount());
    } catch (...) {
        return memFullErr;
    }
    const qte::Rect box = engine->box();
    movie->box = {SInt16(box.top), SInt16(box.left), SInt16(box.bottom), SInt16(box.right)};
    movie->timeScale = engine->timeScale();
    movie->engine = std::move(engine);
    const uintptr_t id = QtsMovies().Add(movie);
    if (id == 0)
        return memFullErr;
    const Movie handle = reinterpret_cast<Movie>(id);
    for (size_t i = 0; i < movie->engine->trackCount(); ++i) {
        std::shared_ptr<QtsTrack> track, media;
        try {
            track = std::make_shared<QtsTrack>();
            media = std::make_shared<QtsTrack>();
        } catch (...) {
            DisposeMovieObject(handle);
            return memFullErr;
        }
        track->movie = movie;
        track->engine = movie->engine->track(i);
        *media = *track;
        const uintptr_t trackId = QtsTracks().Add(track);
        const uintptr_t mediaId = QtsMedia().Add(media);
        if (trackId == 0 || mediaId == 0) {
            QtsTracks().Remove(reinterpret_cast<Track>(trackId));
            QtsMedia().Remove(reinterpret_cast<Media>(mediaId));
            DisposeMovieObject(handle);
            return memFullErr;
        }
        track->handle = reinterpret_cast<Track>(trackId);
        media->handle = track->handle;
        std::lock_guard<std::mutex> lock(movie->lock);
        movie->tracks.push_back(track->handle);  // reserved above: cannot throw
        movie->media.push_back(reinterpret_cast<Media>(mediaId));
    }
    *out = handle;
    return noErr;
}

}  // namespace

extern "C" {

OSErr NativePathNameToFSSpec(char *inName, FSSpec *outFile, long)
{
    if (!inName || !outFile)
        return paramErr;
    std::memset(outFile, 0, sizeof *outFile);
    std::string path;
    SInt32 key;
    try {
        path = inName;
        key = Files().KeyForPath(path);
    } catch (...) {
        return memFullErr;
    }
    outFile->vRefNum = kPathVolume;
    outFile->parID = key;
    PutName(path, outFile->name);
    // The FSSpec is made for a missing file too, as a later create would need it.
    return GetFileAttributesA(inName) == INVALID_FILE_ATTRIBUTES ? fnfErr : noErr;
}

OSErr OpenMovieFile(const FSSpec *fileSpec, SInt16 *resRefNum, SInt8 permission)
{
    if (resRefNum)
        *resRefNum = 0;
    std::string path;
    if (!fileSpec || !resRefNum || fileSpec->vRefNum != kPathVolume ||
        !Files().PathForKey(fileSpec->parID, &path))
        return QtsSetMoviesError(paramErr);
    OSErr err;
    switch (permission) {
    case fsRdPerm:
        err = CheckAccess(path, GENERIC_READ);
        break;
    case fsWrPerm:
    case fsRdWrPerm:
        err = CheckAccess(path, GENERIC_READ | GENERIC_WRITE);
        break;
    case fsCurPerm:
        err = CheckAccess(path, GENERIC_READ | GENERIC_WRITE);
        if (err == permErr)
            err = CheckAccess(path, GENERIC_READ);
        break;
    default:
        err = paramErr;
        break;
    }
    if (err != noErr)
        return QtsSetMoviesError(err);
    SInt16 ref;
    try {
        ref = Files().AddOpenFile(path);
    } catch (...) {
        return QtsSetMoviesError(memFullErr);
    }
    if (ref == 0)
        return QtsSetMoviesError(memFullErr);
    *resRefNum = ref;
    return QtsSetMoviesError(noErr);
}

OSErr CloseMovieFile(SInt16 resRefNum)
{
    return QtsSetMoviesError(Files().RemoveOpenFile(resRefNum) ? noErr : paramErr);
}

OSErr NewMovieFromFile(Movie *theMovie, SInt16 resRefNum, SInt16 *resId, StringPtr resName,
                       SInt16, Boolean *dataRefWasChanged)
{
    if (theMovie)
        *theMovie = nullptr;
    if (dataRefWasChanged)
        *dataRefWasChanged = false;
    if (resName)
        resName[0] = 0;
    std::string path;
    if (!theMovie || !Files().OpenFilePath(resRefNum, &path))
        return QtsSetMoviesError(paramErr);
    std::shared_ptr<qte::Movie> engine;
    qte::Err trackErr = qte::noErr;
    qte::Reason reason;
    const qte::Err err = qte::Movie::openFile(path, engine, &trackErr, &reason);
    t_openReason = reason.text();
    if (err != qte::noErr)
        return QtsSetMoviesError(QtsOSErr(err));
    const OSErr published = PublishMovie(std::move(engine), theMovie);
    if (published != noErr)
        return QtsSetMoviesError(published);
    if (resId)
        *resId = movieInDataForkResID;
    // A dropped track still gives the movie; the caller decides whether it will do.
    return QtsSetMoviesError(QtsOSErr(trackErr));
}

void DisposeMovie(Movie theMovie)
{
    QtsSetMoviesError(DisposeMovieObject(theMovie));
}

OSErr GetMoviesError(void)
{
    return QtsMoviesError();
}

// The stand-in's own export (not a QuickTime routine): the reason of the calling thread's last
// NewMovieFromFile failure or dropped track, "damaged: ..." or "unsupported: ...", copied into
// text (size bytes with the terminating zero, cut short if it must). Returns the reason's full
// length, 0 when there is none.
long QtsGetMovieOpenReason(char *text, long size)
{
    if (text && size > 0) {
        const size_t n = t_openReason.size() < size_t(size) ? t_openReason.size() : size_t(size) - 1;
        std::memcpy(text, t_openReason.data(), n);
        text[n] = 0;
    }
    return long(t_openReason.size());
}

}  // extern "C"

namespace {
const QtsRoutine kMovieFileRoutines[] = {
    QTS_ROUTINE(NativePathNameToFSSpec), QTS_ROUTINE(OpenMovieFile),
    QTS_ROUTINE(CloseMovieFile),         QTS_ROUTINE(NewMovieFromFile),
    QTS_ROUTINE(DisposeMovie),           QTS_ROUTINE(GetMoviesError),
};
QTS_REGISTER_ROUTINES(kMovieFileRoutines);
}  // namespace
