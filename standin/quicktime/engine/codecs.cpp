// The codec table and the sample entries that name each codec.
#include "codecs.h"

#include "codecconfig.h"

namespace qte {

namespace {

constexpr uint32_t kInHouse = kCodecInHouse, kAnnexB = kCodecAnnexB, kReorders = kCodecReorders,
                   kPacked = kCodecPacked, kEntryPalette = kCodecEntryPalette;

// One row per CodecId, in its order.
constexpr CodecInfo kCodecs[] = {
    {CodecId::unknown, Kind::other, "unknown", nullptr, 0},
    {CodecId::rawVideo, Kind::video, "uncompressed RGB", nullptr, kInHouse},
    {CodecId::animation, Kind::video, "Animation", nullptr, kInHouse},
    {CodecId::h264, Kind::video, "H.264", "h264", kAnnexB | kReorders},
    {CodecId::hevc, Kind::video, "HEVC", "hevc", kAnnexB | kReorders},
    {CodecId::mpeg4, Kind::video, "MPEG-4 part 2", "mpeg4", kReorders},
    {CodecId::h263, Kind::video, "H.263", "h263", 0},
    {CodecId::av1, Kind::video, "AV1", "libdav1d", kReorders},
    {CodecId::vp9, Kind::video, "VP9", "vp9", kReorders},
    {CodecId::prores, Kind::video, "ProRes", "prores", 0},
    {CodecId::jpeg, Kind::video, "Photo-JPEG", "mjpeg", kPacked},
    {CodecId::mjpegB, Kind::video, "Motion JPEG B", "mjpegb", 0},
    {CodecId::png, Kind::video, "PNG", "png", kPacked},
    {CodecId::dv, Kind::video, "DV", "dvvideo", 0},
    {CodecId::cinepak, Kind::video, "Cinepak", "cinepak", kPacked | kEntryPalette},
    {CodecId::svq1, Kind::video, "Sorenson Video", "svq1", 0},
    {CodecId::svq3, Kind::video, "Sorenson Video 3", "svq3", kReorders},
    {CodecId::graphics, Kind::video, "Graphics", "smc", kPacked | kEntryPalette},
    {CodecId::roadPizza, Kind::video, "Video", "rpza", kPacked},
    {CodecId::planarRgb, Kind::video, "Planar RGB", "8bps", kPacked | kEntryPalette},
    {CodecId::pcm, Kind::sound, "linear PCM", nullptr, kInHouse},
    {CodecId::ulaw, Kind::sound, "mu-law", nullptr, kInHouse},
    {CodecId::alaw, Kind::sound, "A-law", nullptr, kInHouse},
    {CodecId::ima4, Kind::sound, "IMA 4:1", nullptr, kInHouse},
    {CodecId::aac, Kind::sound, "AAC", "aac", 0},
    {CodecId::mpegAudio, Kind::sound, "MPEG audio", "mp3float", 0},
    {CodecId::amrNb, Kind::sound, "AMR-NB", "amrnb", 0},
    {CodecId::amrWb, Kind::sound, "AMR-WB", "amrwb", 0},
    {CodecId::alac, Kind::sound, "Apple Lossless", "alac", 0},
    {CodecId::ac3, Kind::sound, "AC-3", "ac3", 0},
    {CodecId::eac3, Kind::sound, "E-AC-3", "eac3", 0},
    {CodecId::opus, Kind::sound, "Opus", "opus", 0},
    {CodecId::flac, Kind::sound, "FLAC", "flac", 0},
    {CodecId::qdesign2, Kind::sound, "QDesign Music 2", "qdm2", 0},
    {CodecId::mace3, Kind::sound, "MACE 3:1", "mace3", 0},
    {CodecId::mace6, Kind::sound, "MACE 6:1", "mace6", 0},
    {CodecId::gsm, Kind::sound, "GSM", "gsm", 0},
    {CodecId::dts, Kind::sound, "DTS", "dca", 0},
};
static_assert(sizeof(kCodecs) / sizeof(kCodecs[0]) == size_t(CodecId::count), "one row per codec");

struct Code {
  OSType code;
  CodecId id;
};

// Video sample entries. 'dvh1' is also Dolby Vision's HEVC: with an 'hvcC' it is HEVC.
constexpr Code kVideoCodes[] = {
    {fourcc("raw "), CodecId::rawVideo}, {fourcc("rle "), CodecId::animation},
    {fourcc("avc1"), CodecId::h264},     {fourcc("avc3"), CodecId::h264},
    {fourcc("hvc1"), CodecId::hevc},     {fourcc("hev1"), CodecId::hevc},
    {fourcc("dvhe"), CodecId::hevc},     {fourcc("mp4v"), CodecId::mpeg4},
    {fourcc("s263"), CodecId::h263},     {fourcc("h263"), CodecId::h263},
    {fourcc("H263"), CodecId::h263},     {fourcc("av01"), CodecId::av1},
    {fourcc("vp09"), CodecId::vp9},      {fourcc("apcn"), CodecId::prores},
    {fourcc("apch"), CodecId::prores},   {fourcc("apcs"), CodecId::prores},
    {fourcc("apco"), CodecId::prores},   {fourcc("ap4h"), CodecId::prores},
    {fourcc("ap4x"), CodecId::prores},   {fourcc("jpeg"), CodecId::jpeg},
    {fourcc("mjpa"), CodecId::jpeg},     {fourcc("mjpb"), CodecId::mjpegB},
    {fourcc("png "), CodecId::png},      {fourcc("dvc "), CodecId::dv},
    {fourcc("dvcp"), CodecId::dv},       {fourcc("dvpp"), CodecId::dv},
    {fourcc("dv5n"), CodecId::dv},       {fourcc("dv5p"), CodecId::dv},
    {fourcc("dvh2"), CodecId::dv},       {fourcc("dvh3"), CodecId::dv},
    {fourcc("dvh5"), CodecId::dv},       {fourcc("dvh6"), CodecId::dv},
    {fourcc("dvhp"), CodecId::dv},       {fourcc("dvhq"), CodecId::dv},
    {fourcc("dvh1"), CodecId::dv},       {fourcc("cvid"), CodecId::cinepak},
    {fourcc("SVQ1"), CodecId::svq1},     {fourcc("svq1"), CodecId::svq1},
    {fourcc("svqi"), CodecId::svq1},     {fourcc("SVQ3"), CodecId::svq3},
    {fourcc("smc "), CodecId::graphics}, {fourcc("rpza"), CodecId::roadPizza},
    {fourcc("8BPS"), CodecId::planarRgb},
};

constexpr OSType kMsMp3 = 0x6D730055;  // 'ms\0\x55': WAVE_FORMAT_MPEGLAYER3 in a QuickTime entry

// Sound sample entries ('mp4a' by its 'esds').
constexpr Code kSoundCodes[] = {
    {fourcc("NONE"), CodecId::pcm},      {fourcc("raw "), CodecId::pcm},
    {fourcc("twos"), CodecId::pcm},      {fourcc("sowt"), CodecId::pcm},
    {fourcc("in24"), CodecId::pcm},      {fourcc("in32"), CodecId::pcm},
    {fourcc("fl32"), CodecId::pcm},      {fourcc("fl64"), CodecId::pcm},
    {fourcc("lpcm"), CodecId::pcm},      {fourcc("ulaw"), CodecId::ulaw},
    {fourcc("alaw"), CodecId::alaw},     {fourcc("ima4"), CodecId::ima4},
    {fourcc(".mp3"), CodecId::mpegAudio}, {kMsMp3, CodecId::mpegAudio},
    {fourcc(".mp2"), CodecId::mpegAudio}, {fourcc(".mp1"), CodecId::mpegAudio},
    {fourcc("samr"), CodecId::amrNb},    {fourcc("sawb"), CodecId::amrWb},
    {fourcc("alac"), CodecId::alac},     {fourcc("ac-3"), CodecId::ac3},
    {fourcc("sac3"), CodecId::ac3},      {fourcc("ec-3"), CodecId::eac3},
    {fourcc("Opus"), CodecId::opus},     {fourcc("fLaC"), CodecId::flac},
    {fourcc("QDM2"), CodecId::qdesign2}, {fourcc("MAC3"), CodecId::mace3},
    {fourcc("MAC6"), CodecId::mace6},    {fourcc("agsm"), CodecId::gsm},
    {fourcc("dtsc"), CodecId::dts},      {fourcc("dtsh"), CodecId::dts},
    {fourcc("dtsl"), CodecId::dts},      {fourcc("dtse"), CodecId::dts},
};

// An MPEG-4 entry's object type (ISO/IEC 14496-1's table, and the registrations since).
CodecId codecOfObjectType(uint8_t type) {
  switch (type) {
    case 0x20: return CodecId::mpeg4;
    case 0x21: return CodecId::h264;
    case 0x23: return CodecId::hevc;
    case 0x6C: return CodecId::jpeg;
    case kObjectTypeAac:
    case kObjectTypeMpeg2AacMain:
    case kObjectTypeMpeg2AacMain + 1:
    case kObjectTypeMpeg2AacSsr: return CodecId::aac;
    case kObjectTypeMpeg2Audio:
    case kObjectTypeMpeg1Audio: return CodecId::mpegAudio;
    case 0xA5: return CodecId::ac3;
    case 0xA6: return CodecId::eac3;
    case 0xA9: return CodecId::dts;
    case 0xAD: return CodecId::opus;
    default: return CodecId::unknown;
  }
}

template <size_t N>
CodecId lookUp(const Code (&codes)[N], OSType code) {
  for (const Code& c : codes)
    if (c.code == code) return c.id;
  return CodecId::unknown;
}

}  // namespace

const CodecInfo& codecInfo(CodecId id) {
  const size_t i = size_t(id);
  return kCodecs[i < size_t(CodecId::count) ? i : 0];
}

CodecId codecOf(const SampleDescription& d) {
  if (d.kind == Kind::video) {
    if (d.format == fourcc("mp4v") || d.format == fourcc("dvh1")) {
      uint32_t n = 0;
      if (d.format == fourcc("dvh1")) return d.extension(fourcc("hvcC"), &n) ? CodecId::hevc : CodecId::dv;
      const uint8_t* esds = d.extension(fourcc("esds"), &n);
      EsDescriptor es;
      // An 'mp4v' without a usable 'esds' is still MPEG-4 part 2, configured by its stream.
      if (esds && parseEsds(esds, n, &es, false) == noErr && codecOfObjectType(es.objectType) != CodecId::unknown)
        return codecOfObjectType(es.objectType);
      return CodecId::mpeg4;
    }
    return lookUp(kVideoCodes, d.format);
  }
  if (d.kind == Kind::sound) {
    if (d.format == fourcc("mp4a")) {
      uint32_t n = 0;
      const uint8_t* esds = d.extension(fourcc("esds"), &n);
      EsDescriptor es;
      // Without its 'esds' (a .mov's comes inside 'wave'), an 'mp4a' is taken for AAC.
      if (!esds || parseEsds(esds, n, &es, false) != noErr) return CodecId::aac;
      const CodecId id = codecOfObjectType(es.objectType);
      return codecInfo(id).kind == Kind::sound ? id : CodecId::unknown;
    }
    return lookUp(kSoundCodes, d.format);
  }
  return CodecId::unknown;
}

}  // namespace qte
