// The object tables behind the movie routines' handles, and the per-thread movie error.
#include "MovieObjects.h"

#include "timemath.h"

namespace {
thread_local OSErr t_moviesError = noErr;
}  // namespace

int64_t QtsMovieTime(const QtsMovie &movie, int64_t engineTime)
{
    return qte::mulDivUp(engineTime, movie.timeScale.load(), movie.engine->timeScale());
}

QtsObjectTable<QtsMovie> &QtsMovies()
{
    static QtsObjectTable<QtsMovie> table(0x00A00010);
    return table;
}

QtsObjectTable<QtsTrack> &QtsTracks()
{
    static QtsObjectTable<QtsTrack> table(0x00A10010);
    return table;
}

QtsObjectTable<QtsTrack> &QtsMedia()
{
    static QtsObjectTable<QtsTrack> table(0x00A20010);
    return table;
}

QtsObjectTable<QtsGWorld> &QtsGWorlds()
{
    static QtsObjectTable<QtsGWorld> table(0x00A30010);
    return table;
}

OSErr QtsSetMoviesError(OSErr err)
{
    t_moviesError = err;
    return err;
}

OSErr QtsMoviesError()
{
    return t_moviesError;
}
