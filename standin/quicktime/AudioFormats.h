// Linear PCM descriptions as the audio routines receive them (AudioStreamBasicDescription,
// AudioChannelLayout) and as the engine's converters take them (qte::AudioFormat).
#pragma once

#include <vector>

#include "qtengine.h"
#include "quicktime/QuickTimeTypes.h"

enum : UInt32 {
    kAudioFormatFlagIsFloat = 0x1,
    kAudioFormatFlagIsBigEndian = 0x2,
    kAudioFormatFlagIsSignedInteger = 0x4,
    kAudioFormatFlagIsPacked = 0x8,
    kAudioFormatFlagIsNonInterleaved = 0x20,
};

// False for anything but consistent linear PCM the engine converts.
bool QtsFormatFromDescription(const AudioStreamBasicDescription &asbd, qte::AudioFormat *format);
AudioStreamBasicDescription QtsDescriptionFromFormat(const qte::AudioFormat &format);

// An AudioChannelLayout of one description per channel; its size is 12 + 20 per channel.
size_t QtsChannelLayoutSize(size_t channels);
void QtsWriteChannelLayout(const std::vector<uint32_t> &labels, AudioChannelLayout *layout);

// A buffer list's buffer i (the record declares one, the list holds mNumberBuffers).
inline AudioBuffer &QtsBuffer(AudioBufferList &list, UInt32 i)
{
    return (&list.mBuffers[0])[i];
}
