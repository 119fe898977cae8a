// A sound converter whose output outgrows its input, as compressed input and raised rates do
// (the fake's converts frame for frame): while installed, the buffer-size query and the
// conversion go to this model, every other routine to the fake. Input counts in units (sample
// frames, or packets when compressed) of inBytes bytes; each gives outFramesNum / outFramesDen
// output frames of outFrameBytes bytes.
#pragma once

#include <cstdint>

namespace audiotest {

struct ExpandingConverter {
    unsigned long inBytes;
    unsigned long outFramesNum;
    unsigned long outFramesDen;
    unsigned long outFrameBytes;
};

class ConverterIntercept {
public:
    explicit ConverterIntercept(const ExpandingConverter &model);  // after the fake exists
    ~ConverterIntercept();

    // The input units of the last conversion, and the most bytes any conversion wrote.
    unsigned long LastFrames() const;
    unsigned long MostBytesWritten() const;
};

}  // namespace audiotest
