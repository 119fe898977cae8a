// The runtime's decoders: its decoder library's (the DLLs beside it) and the operating system's,
// found by the format each track needs, in that order unless the user put the system's first.
// The factory is installed when the library loads and makes nothing until a track asks; each
// decoder belongs to one track and lives as long as its decoding state.
#pragma once

#include <memory>

#include "decoder.h"

// Installs the factory as the engine's (DllMain, on attach: it only stores a pointer).
void QtsInstallDecoders();

// The decoder library's factory, loaded at the first call; null when it cannot be used
// (LibraryDecoders.cpp).
qte::DecoderFactory *QtsLibraryDecoders();

// Video: H.264 and the others the system has a transform for (VideoDecoders.cpp), JPEG
// through WIC.
qte::Err QtsCreateVideoDecoder(const qte::VideoCodec &codec, std::unique_ptr<qte::VideoDecoder> &out);
// Sound: AAC and the others the system has a transform for, else a DMO (MPEG audio on Wine)
// (AudioDecoders.cpp).
qte::Err QtsCreateAudioDecoder(const qte::AudioCodec &codec, std::unique_ptr<qte::AudioDecoder> &out);
