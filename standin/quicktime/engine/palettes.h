// The colours of palettized video: the colour table a video sample entry carries, or the
// Macintosh default table of its depth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qte {

// Reads the colour table of an image description whose fixed fields end at `*at`: the table
// that follows them when colorTableId is 0, else the default of the depth (2, 4 and 8 bits of
// colour, 33 to 40 for grey); none for other depths. `*palette` gets 256 words 0xFFRRGGBB
// (unnamed entries black) or stays empty; `*at` moves past an inline table. false for a table
// that does not fit the entry.
bool readColourTable(const uint8_t* entry, size_t size, uint16_t depth, int16_t colorTableId, size_t* at,
                     std::vector<uint32_t>* palette);

}  // namespace qte
