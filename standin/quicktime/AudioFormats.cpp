#include "AudioFormats.h"

#include <cstring>

bool QtsFormatFromDescription(const AudioStreamBasicDescription &asbd, qte::AudioFormat *format)
{
    if (asbd.mFormatID != QTFourCC("lpcm") || !(asbd.mSampleRate > 0) ||
        asbd.mSampleRate > 1e7 || asbd.mFramesPerPacket > 1)
        return false;
    qte::AudioFormat f;
    f.sampleRate = asbd.mSampleRate;
    f.channels = asbd.mChannelsPerFrame;
    f.bits = asbd.mBitsPerChannel;
    f.isFloat = (asbd.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
    f.isSigned = f.isFloat || (asbd.mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0;
    f.bigEndian = (asbd.mFormatFlags & kAudioFormatFlagIsBigEndian) != 0;
    f.interleaved = (asbd.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    if (f.channels == 0 || f.channels > 32 || !f.valid())
        return false;
    // Padded or high-aligned samples are not linear PCM of this width.
    if (asbd.mBytesPerFrame != 0 && asbd.mBytesPerFrame != f.bytesPerFrame())
        return false;
    if (asbd.mBytesPerPacket != 0 && asbd.mBytesPerPacket != f.bytesPerFrame())
        return false;
    *format = f;
    return true;
}

AudioStreamBasicDescription QtsDescriptionFromFormat(const qte::AudioFormat &f)
{
    AudioStreamBasicDescription asbd;
    std::memset(&asbd, 0, sizeof asbd);
    asbd.mSampleRate = f.sampleRate;
    asbd.mFormatID = QTFourCC("lpcm");
    asbd.mFormatFlags = kAudioFormatFlagIsPacked;
    if (f.isFloat)
        asbd.mFormatFlags |= kAudioFormatFlagIsFloat;
    else if (f.isSigned)
        asbd.mFormatFlags |= kAudioFormatFlagIsSignedInteger;
    if (f.bigEndian)
        asbd.mFormatFlags |= kAudioFormatFlagIsBigEndian;
    if (!f.interleaved)
        asbd.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    asbd.mBytesPerPacket = f.bytesPerFrame();
    asbd.mFramesPerPacket = 1;
    asbd.mBytesPerFrame = f.bytesPerFrame();
    asbd.mChannelsPerFrame = f.channels;
    asbd.mBitsPerChannel = f.bits;
    return asbd;
}

size_t QtsChannelLayoutSize(size_t channels)
{
    return offsetof(AudioChannelLayout, mChannelDescriptions) +
           channels * sizeof(AudioChannelDescription);
}

void QtsWriteChannelLayout(const std::vector<uint32_t> &labels, AudioChannelLayout *layout)
{
    std::memset(layout, 0, QtsChannelLayoutSize(labels.size()));
    layout->mChannelLayoutTag = 0;  // kAudioChannelLayoutTag_UseChannelDescriptions
    layout->mNumberChannelDescriptions = UInt32(labels.size());
    AudioChannelDescription *descriptions = layout->mChannelDescriptions;
    for (size_t i = 0; i < labels.size(); ++i)
        descriptions[i].mChannelLabel = labels[i];
}
