// Parses 'stsd' entries into SampleDescription (video and sound fields, extension atoms).
#pragma once

#include "atoms.h"

namespace qte {

// Parses one entry (the bytes from its size field on). `sound`/`video` choose the field layout.
Err parseDescription(const uint8_t* entry, size_t size, Kind kind, SampleDescription& d);
// The bytes of the atom list at `atoms` (at most `limit`): up to its terminator atom, the first
// damaged header or the limit.
size_t atomListBytes(const uint8_t* atoms, size_t limit);
// Takes an atom list (what a 'wave' atom holds) as the description's extension atoms; an 'enda'
// among them sets the byte order.
Err setExtensionAtoms(SampleDescription& d, const uint8_t* atoms, size_t size);
// Bytes one packet of `packetFrames` frames takes for a sound description (0 when unknown),
// as a sound track's chunks store them.
void soundPacking(const SampleDescription& d, uint32_t* packetFrames, uint32_t* packetBytes);

}  // namespace qte
