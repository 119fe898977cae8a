// The codecs that descriptions ask of the operating system's decoders, and the process's
// decoder factory.
#include "decoder.h"

#include <algorithm>
#include <atomic>

namespace qte {

namespace {
std::atomic<DecoderFactory*> g_factory{nullptr};

void failWith(const char** why, const char* text) {
  if (why) *why = text;
}

// MPEG audio: the stream's frame header says the rate and channels; without a packet the entry
// stands in for it.
Err mpegAudioCodec(const SampleDescription& d, const uint8_t* packet, size_t n, AudioCodec* out,
                   const char** why) {
  out->sampleRate = uint32_t(d.sampleRate);
  out->channels = d.channels;
  out->framesPerPacket = 1152;
  if (packet) {
    MpegAudioHeader h;
    const Err e = parseMpegAudioHeader(packet, n, &h);
    if (e) {
      failWith(why, h.why ? h.why : "the first MPEG audio packet has no frame header");
      return e;
    }
    out->sampleRate = h.sampleRate;
    out->channels = h.channels;
    out->framesPerPacket = h.samplesPerFrame;
    out->layer = h.layer;
  }
  if (out->channels < 1 || out->channels > 2 || out->sampleRate < 8000 || out->sampleRate > 48000) {
    failWith(why, "MPEG audio: no rate or channel count a frame header can have");
    return invalidMedia;
  }
  if (out->channels == 1) out->labels = {kLabelMono};
  else out->labels = {kLabelLeft, kLabelRight};
  return noErr;
}
// The sound codecs the decoder library configures from the entry alone: its rate and channels.
Err otherSoundCodec(const SampleDescription& d, AudioCodec* out, const char** why) {
  out->sampleRate = uint32_t(d.sampleRate);
  out->channels = d.channels;
  out->blockAlign = d.bytesPerFrame;
  out->bitsPerSample = d.sampleSize;
  if (out->channels < 1 || out->channels > 8 || out->sampleRate == 0) {
    failWith(why, "a sound entry without a rate or channel count");
    return invalidMedia;
  }
  if (out->channels == 1) out->labels = {kLabelMono};
  else if (out->channels == 2) out->labels = {kLabelLeft, kLabelRight};
  else out->labels.assign(out->channels, 0);
  out->output.sampleRate = out->sampleRate;
  out->output.channels = out->channels;
  return noErr;
}
}  // namespace

bool decoderDecodesSound(const SampleDescription& d) {
  const CodecId id = codecOf(d);
  return id != CodecId::unknown && !inHouse(id);
}

namespace {
template <class Codec, class Decoder, class Make>
Err firstTaker(const std::vector<DecoderFactory*>& factories, const Codec& codec, std::unique_ptr<Decoder>& out,
               Make make) {
  Err first = cantFindHandler;
  for (DecoderFactory* f : factories) {
    const Err e = make(f, codec, out);
    if (e == noErr) return noErr;
    out.reset();
    if (first == cantFindHandler) first = e;
  }
  return first;
}
}  // namespace

Err DecoderChain::createVideo(const VideoCodec& codec, std::unique_ptr<VideoDecoder>& out) {
  return firstTaker(factories_, codec, out, [](DecoderFactory* f, const VideoCodec& c, std::unique_ptr<VideoDecoder>& o) {
    return f->createVideo(c, o);
  });
}

Err DecoderChain::createAudio(const AudioCodec& codec, std::unique_ptr<AudioDecoder>& out) {
  return firstTaker(factories_, codec, out, [](DecoderFactory* f, const AudioCodec& c, std::unique_ptr<AudioDecoder>& o) {
    return f->createAudio(c, o);
  });
}

void setDecoderFactory(DecoderFactory* factory) { g_factory.store(factory); }
DecoderFactory* decoderFactory() { return g_factory.load(); }

Err videoCodecOf(const SampleDescription& d, VideoCodec* out, const char** why) {
  *out = VideoCodec();
  out->id = codecOf(d);
  out->format = d.format;
  out->width = d.width;
  out->height = d.height;
  out->depth = d.depth;
  if (out->id == CodecId::h264) {
    uint32_t n = 0;
    const uint8_t* avcC = d.extension(fourcc("avcC"), &n);
    if (!avcC) {
      failWith(why, "'avc1' without an 'avcC' configuration");
      return invalidMedia;
    }
    AvcConfig c;
    Err e = parseAvcConfig(avcC, n, &c);
    if (e) {
      failWith(why, c.why);
      return e;
    }
    out->nalLengthSize = c.nalLengthSize;
    out->header = std::move(c.annexB);
    if (c.width && c.height) {
      out->width = c.width;
      out->height = c.height;
    }
    ColourInfo colr;
    uint32_t cn = 0;
    const uint8_t* colrAtom = d.extension(fourcc("colr"), &cn);
    const bool haveColr = colrAtom && parseColr(colrAtom, cn, &colr) == noErr;
    out->colour = chooseColour(haveColr ? &colr : nullptr, c.spsCount ? &c.vui : nullptr, out->height);
    return noErr;
  }
  if (out->id == CodecId::hevc) {
    uint32_t n = 0;
    const uint8_t* hvcC = d.extension(fourcc("hvcC"), &n);
    if (!hvcC) {
      failWith(why, "HEVC without an 'hvcC' configuration");
      return invalidMedia;
    }
    HevcConfig c;
    Err e = parseHevcConfig(hvcC, n, &c);
    if (e) {
      failWith(why, c.why);
      return e;
    }
    out->nalLengthSize = c.nalLengthSize;
    out->header = std::move(c.annexB);
    ColourInfo colr;
    uint32_t cn = 0;
    const uint8_t* colrAtom = d.extension(fourcc("colr"), &cn);
    out->colour = chooseColour(colrAtom && parseColr(colrAtom, cn, &colr) == noErr ? &colr : nullptr, nullptr,
                               out->height);
    return noErr;
  }
  const CodecInfo& info = codecInfo(out->id);
  if (info.kind != Kind::video || inHouse(out->id)) {
    failWith(why, "no decoder configuration for this video format");
    return cantFindHandler;
  }
  if (info.flags & kCodecEntryPalette) out->palette = d.palette;
  uint32_t n = 0;
  if (out->id == CodecId::mpeg4) {
    // MPEG-4 part 2: the decoder configuration (its VOL header) goes ahead of the first sample.
    const uint8_t* esds = d.extension(fourcc("esds"), &n);
    EsDescriptor es;
    if (esds && parseEsds(esds, n, &es) == noErr) out->header = std::move(es.specificInfo);
  } else if (out->id == CodecId::av1) {
    if (const uint8_t* config = d.extension(fourcc("av1C"), &n)) out->config.assign(config, config + n);
  } else if (out->id == CodecId::svq3) {
    // The library's decoder takes the whole entry from its code on and finds the sequence
    // header ('SEQH', inside 'SMI ') in it itself.
    out->config.assign(d.stored.begin() + 4, d.stored.end());
  }
  // VP9's entry states its stream's colour, for when no 'colr' does.
  ColourInfo colr, stream;
  const uint8_t* vpcC = out->id == CodecId::vp9 ? d.extension(fourcc("vpcC"), &n) : nullptr;
  const bool haveStream = vpcC && parseVpcc(vpcC, n, &stream) == noErr;
  const uint8_t* colrAtom = d.extension(fourcc("colr"), &n);
  out->colour = chooseColour(colrAtom && parseColr(colrAtom, n, &colr) == noErr ? &colr : nullptr,
                             haveStream ? &stream : nullptr, out->height);
  return noErr;
}

Err audioCodecOf(const SampleDescription& d, const uint8_t* firstPacket, size_t firstPacketBytes,
                 AudioCodec* out, const char** why) {
  *out = AudioCodec();
  out->id = codecOf(d);
  out->format = d.format;
  out->output.interleaved = true;
  out->output.bigEndian = false;
  out->output.isSigned = true;
  uint32_t n = 0;
  const uint8_t* esdsAtom = d.extension(fourcc("esds"), &n);
  out->output.bits = 32;
  out->output.isFloat = true;
  if (out->id == CodecId::mpegAudio && !esdsAtom) {  // '.mp3' and its kin
    const Err e = mpegAudioCodec(d, firstPacket, firstPacketBytes, out, why);
    out->output.sampleRate = out->sampleRate;
    out->output.channels = out->channels;
    return e;
  }
  if (codecInfo(out->id).kind != Kind::sound || inHouse(out->id)) {
    failWith(why, "no decoder configuration for this sound format");
    return cantFindHandler;
  }
  if (out->id != CodecId::aac && out->id != CodecId::mpegAudio) return otherSoundCodec(d, out, why);
  if (!esdsAtom) {
    failWith(why, "'mp4a' without an 'esds' configuration");
    return invalidMedia;
  }
  EsDescriptor es;
  Err e = parseEsds(esdsAtom, n, &es);
  if (e) {
    failWith(why, es.why);
    return e;
  }
  if (es.isMpegAudio()) {
    e = mpegAudioCodec(d, firstPacket, firstPacketBytes, out, why);
  } else if (es.isAac()) {
    AacConfig c;
    e = parseAudioSpecificConfig(es.specificInfo.data(), es.specificInfo.size(), &c);
    if (e) {
      failWith(why, c.why);
      return e;
    }
    if (c.channels == 0 || c.channels > 8 || c.outputRate == 0) {
      failWith(why, "AudioSpecificConfig: no channel count or rate a decoder can deliver");
      return cantFindHandler;
    }
    out->sampleRate = c.outputRate;
    out->channels = c.channels;
    out->labels = c.labels;
    // Unknown speakers (none) last.
    std::stable_sort(out->labels.begin(), out->labels.end(),
                     [](uint32_t a, uint32_t b) { return speakerOf(a) - 1 < speakerOf(b) - 1; });
    out->framesPerPacket = (c.frameLength ? c.frameLength : 1024) * (c.outputRate > c.sampleRate ? 2 : 1);
    out->config = std::move(es.specificInfo);
  } else {
    failWith(why, "'esds': an object type no decoder is configured for");
    return cantFindHandler;
  }
  out->output.sampleRate = out->sampleRate;
  out->output.channels = out->channels;
  return e;
}

}  // namespace qte
