// The stand-in's movie objects behind QuickTime's opaque handles. A Movie, Track, Media,
// GWorld or extraction session crossing the binding is a number from a table, never an
// address, so a stale, foreign or null handle is found missing and answered with paramErr.
// Each object is shared: a call holds its own reference while it runs, so disposing an
// object on one thread never frees it under another thread's call.
//
// Locking: a table's lock is held only to add, find or remove an entry. A movie's `lock`
// guards its mutable state (box, time, world, track list); it is never held while a table
// lock is taken. The engine objects lock themselves (Renderer, Extractor, SoundDecoder);
// order: a movie's lock, then its renderer's (drawing and box changes take both).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "EngineErrors.h"
#include "qtengine.h"
#include "quicktime/QuickTime.h"

template <typename Object>
class QtsObjectTable {
public:
    explicit QtsObjectTable(uintptr_t firstId) : m_nextId(firstId) {}

    // 0 when the table cannot grow.
    uintptr_t Add(std::shared_ptr<Object> object)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const uintptr_t id = m_nextId;
        m_nextId += 4;
        try {
            m_objects.emplace(id, std::move(object));
        } catch (...) {
            return 0;
        }
        return id;
    }
    // Adds the object and stores its handle in *out; memFullErr when the table cannot grow.
    template <typename HandleType>
    OSErr Publish(std::shared_ptr<Object> object, HandleType *out)
    {
        const uintptr_t id = Add(std::move(object));
        if (id == 0)
            return memFullErr;
        *out = reinterpret_cast<HandleType>(id);
        return noErr;
    }
    std::shared_ptr<Object> Find(const void *handle)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        return found == m_objects.end() ? nullptr : found->second;
    }
    std::shared_ptr<Object> Remove(const void *handle)
    {
        std::shared_ptr<Object> removed;
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        if (found == m_objects.end())
            return nullptr;
        removed = std::move(found->second);
        m_objects.erase(found);
        return removed;
    }

private:
    std::mutex m_lock;  // guards m_objects and m_nextId
    std::map<uintptr_t, std::shared_ptr<Object>> m_objects;
    uintptr_t m_nextId;
};

struct QtsGWorld {
    void *bitmap = nullptr;  // the caller's HBITMAP, which stays the caller's
    qte::PixelBuffer pixels;
    std::atomic<bool> disposed{false};  // a movie still attached no longer draws into it
};

struct QtsMovie {
    std::shared_ptr<const qte::Movie> engine;

    // The scale the movie's time is counted in: the file's until SetMovieTimeScale. Written
    // under `lock`; read without it by the routines that only convert with it.
    std::atomic<uint32_t> timeScale{600};

    std::mutex lock;  // guards everything below
    Rect box = {};
    TimeValue time = 0;  // in timeScale
    std::shared_ptr<QtsGWorld> world;
    std::unique_ptr<qte::Renderer> renderer;  // made when a world is first attached
    bool drawable = false;                    // the renderer points into the world
    std::vector<Track> tracks;                // in movie order; DisposeMovieTrack removes one
    std::vector<Media> media;                 // the media of tracks[i]; null once disposed
};

// A track or its media: an engine track of a movie, which the reference keeps alive.
struct QtsTrack {
    std::shared_ptr<QtsMovie> movie;
    const qte::Track *engine = nullptr;
    Track handle = nullptr;
};

// A time of the engine's movie (in the file's time scale) in the movie's present scale,
// rounded up.
int64_t QtsMovieTime(const QtsMovie &movie, int64_t engineTime);

QtsObjectTable<QtsMovie> &QtsMovies();
QtsObjectTable<QtsTrack> &QtsTracks();
QtsObjectTable<QtsTrack> &QtsMedia();
QtsObjectTable<QtsGWorld> &QtsGWorlds();

// The calling thread's GetMoviesError value; the setter returns err.
OSErr QtsSetMoviesError(OSErr err);
OSErr QtsMoviesError();

// Points the movie's renderer at its world with the box's offset applied; the caller holds
// movie.lock. Called when the world or the box changes, never per frame.
OSErr QtsApplyMovieWorld(QtsMovie &movie);
