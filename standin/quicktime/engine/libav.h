// The runtime's decoder library: FFmpeg's libavcodec and libavutil (dav1d behind them for AV1),
// as decoders of the engine's codecs. The library's functions come from wherever it is: linked
// into native builds, loaded at run time by the runtime, which carries the DLLs beside it. Its
// headers are the ones the functions were built with (the same version: the loader checks).
//
// Video decoders use the library's frame threads (as many as the machine has cores), hand out
// its frames by reference (the last few stay valid, as VideoDecoder asks) and allocate nothing
// per frame of their own; sound decoders deliver interleaved 32-bit float in the library's
// channel order, which is the speakers' order of a WAVE channel mask.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "decoder.h"

namespace qte {

// The library's functions the decoders call, each once in this list.
#define QTE_LIBAV_FUNCTIONS(X)                                                                    \
  X(avcodec_version) X(avutil_version) X(avcodec_find_decoder_by_name) X(avcodec_alloc_context3) \
  X(avcodec_free_context) X(avcodec_open2) X(avcodec_send_packet) X(avcodec_receive_frame)      \
  X(av_packet_alloc) X(av_packet_free) X(av_packet_unref) X(av_frame_alloc) X(av_frame_free)     \
  X(av_frame_unref) X(av_frame_move_ref) X(av_buffer_pool_init) X(av_buffer_pool_get)           \
  X(av_buffer_pool_uninit) X(av_mallocz) X(av_log_set_level) X(avcodec_flush_buffers)

struct LibavFunctions {
#define QTE_LIBAV_POINTER(name) decltype(&::name) name = nullptr;
  QTE_LIBAV_FUNCTIONS(QTE_LIBAV_POINTER)
#undef QTE_LIBAV_POINTER

  // Every function is there, and the library is the version of these headers.
  bool usable() const;
};

// A factory of the library's decoders: cantFindHandler for a codec it has no decoder for (none
// in the table, or none in this build of the library). The functions must outlive it.
std::unique_ptr<DecoderFactory> makeLibavFactory(const LibavFunctions& functions);

// The library linked into this program (native builds; null where it is not).
const LibavFunctions* linkedLibav();

}  // namespace qte
