// Drawing: offscreen worlds over the caller's DIB sections, a movie attached to one, and
// MoviesTask drawing the movie's enabled visual tracks at its current time. The renderer
// is made and pointed at the world when the world or the box changes, so a frame costs one
// draw into the DIB's own pixels and allocates nothing.
#include <windows.h>

#include <cstring>

#include "MovieObjects.h"
#include "RoutineTable.h"

namespace {

// Every world draws on the one screen; the device handle only has to be a valid answer.
const GDHandle kMainDevice = reinterpret_cast<GDHandle>(0x00A4000C);

bool PixelFormatOfDepth(WORD bits, qte::PixelFormat *format)
{
    switch (bits) {
    case 16:
        *format = qte::PixelFormat::rgb555;
        return true;
    case 24:
        *format = qte::PixelFormat::bgr24;
        return true;
    case 32:
        *format = qte::PixelFormat::bgr0;
        return true;
    default:
        return false;
    }
}

// GetObject reports every DIB section's height as positive, so the row order is found by
// drawing one pixel at the top through the DC and seeing which end of the memory changed.
// The two pixels touched are restored byte for byte. Without a DC, top-down is assumed,
// the layout of the world's users.
bool IsTopDown(HDC dc, uint8_t *bits, size_t stride, int height, size_t pixelBytes)
{
    if (!dc || height < 2)
        return true;
    uint8_t *first = bits, *last = bits + stride * size_t(height - 1);
    uint8_t savedFirst[4], savedLast[4];
    std::memcpy(savedFirst, first, pixelBytes);
    std::memcpy(savedLast, last, pixelBytes);
    GdiFlush();
    const COLORREF before = GetPixel(dc, 0, 0);
    if (before == CLR_INVALID)
        return true;
    SetPixelV(dc, 0, 0, before ^ 0x00F8F8F8);
    GdiFlush();
    const bool firstChanged = std::memcmp(savedFirst, first, pixelBytes) != 0;
    const bool lastChanged = std::memcmp(savedLast, last, pixelBytes) != 0;
    std::memcpy(first, savedFirst, pixelBytes);
    std::memcpy(last, savedLast, pixelBytes);
    return firstChanged || !lastChanged;
}

}  // namespace

OSErr QtsApplyMovieWorld(QtsMovie &movie)
{
    movie.drawable = false;
    if (!movie.world || !movie.renderer)
        return noErr;
    // The engine draws with the movie box's top-left at the buffer's origin; a box moved
    // within the world moves that origin. A box starting outside it is not drawn.
    qte::PixelBuffer view = movie.world->pixels;
    const int32_t left = movie.box.left, top = movie.box.top;
    if (left >= view.width || top >= view.height || left < 0 || top < 0)
        return noErr;
    view.bits += ptrdiff_t(top) * view.stride + ptrdiff_t(left) * (int(view.format) / 8);
    view.width -= left;
    view.height -= top;
    const OSErr err = QtsOSErr(movie.renderer->setBuffer(view));
    movie.drawable = err == noErr;
    return err;
}

extern "C" {

OSErr NewGWorldFromHBITMAP(GWorldPtr *offscreenGWorld, CTabHandle, GDHandle, GWorldFlags,
                           void *newHBITMAP, void *newHDC)
{
    if (!offscreenGWorld)
        return paramErr;
    *offscreenGWorld = nullptr;
    DIBSECTION dib;
    if (!newHBITMAP || GetObjectA(static_cast<HBITMAP>(newHBITMAP), sizeof dib, &dib) != sizeof dib ||
        !dib.dsBm.bmBits || dib.dsBm.bmWidth <= 0 || dib.dsBm.bmHeight <= 0)
        return paramErr;
    std::shared_ptr<QtsGWorld> world;
    try {
        world = std::make_shared<QtsGWorld>();
    } catch (...) {
        return memFullErr;
    }
    if (!PixelFormatOfDepth(dib.dsBm.bmBitsPixel, &world->pixels.format))
        return paramErr;
    world->bitmap = newHBITMAP;
    world->pixels.width = dib.dsBm.bmWidth;
    world->pixels.height = dib.dsBm.bmHeight;
    // A bottom-up DIB keeps its top row last in memory.
    const ptrdiff_t stride = dib.dsBm.bmWidthBytes;
    const bool topDown = IsTopDown(static_cast<HDC>(newHDC), static_cast<uint8_t *>(dib.dsBm.bmBits),
                                   size_t(stride), dib.dsBm.bmHeight, dib.dsBm.bmBitsPixel / 8);
    world->pixels.stride = topDown ? stride : -stride;
    world->pixels.bits = static_cast<uint8_t *>(dib.dsBm.bmBits) +
                         (topDown ? 0 : stride * (dib.dsBm.bmHeight - 1));
    return QtsGWorlds().Publish(world, offscreenGWorld);
}

GDHandle GetGWorldDevice(GWorldPtr offscreenGWorld)
{
    return QtsGWorlds().Find(offscreenGWorld) ? kMainDevice : nullptr;
}

void DisposeGWorld(GWorldPtr offscreenGWorld)
{
    // A movie still attached keeps its reference but stops drawing: the caller is free to
    // delete the DIB section now.
    const std::shared_ptr<QtsGWorld> world = QtsGWorlds().Remove(offscreenGWorld);
    if (world)
        world->disposed = true;
}

void SetMovieGWorld(Movie theMovie, CGrafPtr port, GDHandle)
{
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie) {
        QtsSetMoviesError(paramErr);
        return;
    }
    std::shared_ptr<QtsGWorld> world;
    if (port) {
        world = QtsGWorlds().Find(port);
        if (!world) {
            QtsSetMoviesError(paramErr);
            return;
        }
    }
    std::lock_guard<std::mutex> lock(movie->lock);
    if (world && !movie->renderer) {
        try {
            movie->renderer.reset(new qte::Renderer(movie->engine));
        } catch (...) {
            QtsSetMoviesError(memFullErr);
            return;
        }
    }
    movie->world = std::move(world);
    QtsSetMoviesError(QtsApplyMovieWorld(*movie));
}

void SetMovieTimeValue(Movie theMovie, TimeValue newtime)
{
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie) {
        QtsSetMoviesError(paramErr);
        return;
    }
    std::lock_guard<std::mutex> lock(movie->lock);
    movie->time = newtime < 0 ? 0 : newtime;
    QtsSetMoviesError(noErr);
}

void MoviesTask(Movie theMovie, long)
{
    // QuickTime services every active movie for a null movie; ours draw only when asked.
    if (!theMovie) {
        QtsSetMoviesError(noErr);
        return;
    }
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie) {
        QtsSetMoviesError(paramErr);
        return;
    }
    std::lock_guard<std::mutex> lock(movie->lock);
    if (!movie->drawable || movie->world->disposed) {
        QtsSetMoviesError(noErr);
        return;
    }
    QtsSetMoviesError(QtsOSErr(movie->renderer->draw(movie->time, movie->timeScale)));
}

}  // extern "C"

namespace {
const QtsRoutine kDrawingRoutines[] = {
    QTS_ROUTINE(NewGWorldFromHBITMAP), QTS_ROUTINE(GetGWorldDevice), QTS_ROUTINE(DisposeGWorld),
    QTS_ROUTINE(SetMovieGWorld),       QTS_ROUTINE(SetMovieTimeValue), QTS_ROUTINE(MoviesTask),
};
QTS_REGISTER_ROUTINES(kDrawingRoutines);
}  // namespace
