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
  return noErr;
}

// Codecs whose configuration atom (in a .mov inside 'wave') says what their decoder delivers.
Err configuredSoundCodec(const SampleDescription& d, const uint8_t* first, size_t firstBytes, AudioCodec* out,
                         const char** why) {
  using Parse = Err (*)(const uint8_t*, size_t, SoundConfig*);
  Parse parse = nullptr;
  switch (out->id) {
    case CodecId::opus: parse = parseOpusConfig; break;
    case CodecId::flac: parse = parseFlacConfig; break;
    case CodecId::alac: parse = parseAlacConfig; break;
    case CodecId::ac3: parse = parseAc3Config; break;
    case CodecId::eac3: parse = parseEac3Config; break;
    default: break;
  }
  const OSType atom = parse ? soundConfigurationAtom(out->id) : 0;
  uint32_t n = 0;
  const uint8_t* payload = atom ? d.extension(atom, &n) : nullptr;
  if (!payload && out->id == CodecId::ac3 && first) payload = first, n = uint32_t(firstBytes), parse = parseAc3Frame;
  if (!payload) {
    if (out->id != CodecId::ac3 && out->id != CodecId::eac3 && parse) {
      failWith(why, "a sound entry without its codec's configuration");
      return invalidMedia;
    }
    return otherSoundCodec(d, out, why);
  }
  SoundConfig c;
  const Err e = parse(payload, n, &c);
  if (e) {
    failWith(why, c.why);
    return e;
  }
  out->sampleRate = c.sampleRate;
  out->channels = c.channels;
  out->sourceBits = c.bits;
  out->framesPerPacket = c.framesPerPacket;
  out->labels = std::move(c.labels);
  out->config = std::move(c.config);
  out->blockAlign = d.bytesPerFrame;
  return noErr;
}

// What the codecs of fixed frames per packet deliver per packet, and the precision of the
// speech and classic codecs' samples.
void fixedGeometry(const SampleDescription& d, AudioCodec* out) {
  switch (out->id) {
    case CodecId::amrNb: out->sampleRate = 8000, out->framesPerPacket = 160; break;
    case CodecId::amrWb: out->sampleRate = 16000, out->framesPerPacket = 320; break;
    case CodecId::gsm: out->framesPerPacket = 160; break;
    case CodecId::mace3:
    case CodecId::mace6: out->framesPerPacket = 6; break;
    default: break;
  }
  switch (out->id) {
    case CodecId::amrNb: case CodecId::amrWb: case CodecId::gsm: case CodecId::mace3: case CodecId::mace6:
    case CodecId::qdesign2: out->sourceBits = 16; break;
    default: break;
  }
  if (out->id == CodecId::amrNb || out->id == CodecId::amrWb) {
    out->channels = 1;
    out->labels = {kLabelMono};
  }
  // A version-1 entry's packets: QDesign's hold many frames, its configuration is its 'wave'.
  if (d.soundVersion == 1 && d.samplesPerPacket && !out->framesPerPacket) out->framesPerPacket = d.samplesPerPacket;
  if (out->id == CodecId::qdesign2) {
    uint32_t n = 0;
    if (const uint8_t* wave = d.extension(fourcc("wave"), &n)) out->config.assign(wave, wave + n);
  }
}

// The output format of a configured codec, its labels in the order decoders deliver channels:
// that of the speakers' bits in a WAVE channel mask, unknown speakers (none) last.
Err finishSoundCodec(AudioCodec* out) {
  if (out->sourceBits == 0 && out->id == CodecId::mpegAudio) out->sourceBits = 16;
  std::stable_sort(out->labels.begin(), out->labels.end(),
                   [](uint32_t a, uint32_t b) { return speakerOf(a) - 1 < speakerOf(b) - 1; });
  out->output.sampleRate = out->sampleRate;
  out->output.channels = out->channels;
  return noErr;
}
}  // namespace

OSType soundConfigurationAtom(CodecId id) {
  switch (id) {
    case CodecId::aac:
    case CodecId::mpegAudio: return fourcc("esds");
    case CodecId::opus: return fourcc("dOps");
    case CodecId::flac: return fourcc("dfLa");
    case CodecId::alac: return fourcc("alac");
    case CodecId::ac3: return fourcc("dac3");
    case CodecId::eac3: return fourcc("dec3");
    default: return 0;
  }
}

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
    return e ? e : finishSoundCodec(out);
  }
  if (codecInfo(out->id).kind != Kind::sound || inHouse(out->id)) {
    failWith(why, "no decoder configuration for this sound format");
    return cantFindHandler;
  }
  if (out->id != CodecId::aac && out->id != CodecId::mpegAudio) {
    const Err e = configuredSoundCodec(d, firstPacket, firstPacketBytes, out, why);
    if (e) return e;
    fixedGeometry(d, out);
    return finishSoundCodec(out);
  }
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
    // Parametric stereo makes a mono core stereo.
    if (c.ps && c.channels == 1) {
      out->channels = 2;
      out->labels = {kLabelLeft, kLabelRight};
    }
    out->framesPerPacket = (c.frameLength ? c.frameLength : 1024) * (c.outputRate > c.sampleRate ? 2 : 1);
    out->config = std::move(es.specificInfo);
  } else {
    failWith(why, "'esds': an object type no decoder is configured for");
    return cantFindHandler;
  }
  return e ? e : finishSoundCodec(out);
}

}  // namespace qte
