// The decoder library in bin/, loaded as the runtime loads it: by path, entry points by name,
// against the headers it was built with and the system's own libavcodec.
#include <windows.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <dav1d/dav1d.h>
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

#include "testpaths.h"

namespace {

std::string g_binDir;  // Windows path, with a trailing backslash

#define STRINGIFY_(x) #x
#define STRINGIFY(x) STRINGIFY_(x)
const char kAvcodecDll[] = "avcodec-" STRINGIFY(LIBAVCODEC_VERSION_MAJOR) ".dll";
const char kAvutilDll[] = "avutil-" STRINGIFY(LIBAVUTIL_VERSION_MAJOR) ".dll";

// The entry points, typed by the headers' own declarations.
struct Avcodec {
    decltype(&avcodec_version) version = nullptr;
    decltype(&avcodec_license) license = nullptr;
    decltype(&avcodec_configuration) configuration = nullptr;
    decltype(&avcodec_find_decoder_by_name) findDecoderByName = nullptr;
    decltype(&avcodec_find_decoder) findDecoder = nullptr;
    decltype(&av_codec_is_decoder) isDecoder = nullptr;
    decltype(&avcodec_alloc_context3) allocContext = nullptr;
    decltype(&avcodec_open2) open = nullptr;
    decltype(&avcodec_free_context) freeContext = nullptr;
};

template <typename Fn> void Bind(HMODULE hModule, Fn &fn, const char *name)
{
    fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(hModule, name)));
    EXPECT_NE(fn, nullptr) << name;
}

std::string Lower(std::string s)
{
    for (char &c : s)
        c = char(tolower(static_cast<unsigned char>(c)));
    return s;
}

// The folder a loaded DLL came from, lower case (Windows paths ignore case).
std::string ModuleDir(HMODULE hModule)
{
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(hModule, path, MAX_PATH);
    std::string s(path, n);
    return Lower(s.substr(0, s.find_last_of('\\') + 1));
}

class CodecLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string path = g_binDir + kAvcodecDll;
        // Its own DLLs (avutil, swresample, dav1d) are found beside it, as the runtime loads it.
        m_hAvcodec = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        ASSERT_NE(m_hAvcodec, nullptr) << path << ": error " << GetLastError();
        Bind(m_hAvcodec, m_av.version, "avcodec_version");
        Bind(m_hAvcodec, m_av.license, "avcodec_license");
        Bind(m_hAvcodec, m_av.configuration, "avcodec_configuration");
        Bind(m_hAvcodec, m_av.findDecoderByName, "avcodec_find_decoder_by_name");
        Bind(m_hAvcodec, m_av.findDecoder, "avcodec_find_decoder");
        Bind(m_hAvcodec, m_av.isDecoder, "av_codec_is_decoder");
        Bind(m_hAvcodec, m_av.allocContext, "avcodec_alloc_context3");
        Bind(m_hAvcodec, m_av.open, "avcodec_open2");
        Bind(m_hAvcodec, m_av.freeContext, "avcodec_free_context");
        ASSERT_FALSE(HasFailure());
    }
    void TearDown() override
    {
        if (m_hAvcodec)
            FreeLibrary(m_hAvcodec);
    }
    HMODULE m_hAvcodec = nullptr;
    Avcodec m_av;
};

TEST_F(CodecLibrary, IsTheSystemsLibavcodecVersion)
{
    unsigned version = m_av.version();
    EXPECT_EQ(AV_VERSION_MAJOR(version), unsigned(LIBAVCODEC_VERSION_MAJOR));
    EXPECT_EQ(version, unsigned(LIBAVCODEC_VERSION_INT)) << "the DLL is not the build of its headers";
    // Debian's native libavcodec is the same source version: the tests' ffmpeg decodes alike.
    EXPECT_EQ(version, unsigned(AV_VERSION_INT(NATIVE_AVCODEC_VERSION_MAJOR, NATIVE_AVCODEC_VERSION_MINOR,
                           NATIVE_AVCODEC_VERSION_MICRO)))
        << "DLL " << AV_VERSION_MAJOR(version) << "." << AV_VERSION_MINOR(version) << "."
        << AV_VERSION_MICRO(version) << ", native " << NATIVE_AVCODEC_VERSION_MAJOR << "."
        << NATIVE_AVCODEC_VERSION_MINOR << "." << NATIVE_AVCODEC_VERSION_MICRO;

    HMODULE hAvutil = GetModuleHandleA(kAvutilDll);
    ASSERT_NE(hAvutil, nullptr) << kAvutilDll << " was not loaded with avcodec";
    EXPECT_EQ(ModuleDir(hAvutil), Lower(g_binDir));
    auto avutilVersion = reinterpret_cast<decltype(&avutil_version)>(
        reinterpret_cast<void *>(GetProcAddress(hAvutil, "avutil_version")));
    ASSERT_NE(avutilVersion, nullptr);
    EXPECT_EQ(avutilVersion(), unsigned(LIBAVUTIL_VERSION_INT));
}

TEST_F(CodecLibrary, IsLgplOnly)
{
    EXPECT_STREQ(m_av.license(), "LGPL version 2.1 or later");
    std::string configuration = m_av.configuration();
    EXPECT_EQ(configuration.find("--enable-gpl"), std::string::npos) << configuration;
    EXPECT_EQ(configuration.find("--enable-nonfree"), std::string::npos) << configuration;
    EXPECT_NE(configuration.find("--disable-everything"), std::string::npos) << configuration;
}

struct Wanted {
    const char *name;
    AVMediaType type;
};

// By the names libavcodec gives them, which configure's are too, except "8bps" (eightbps).
const Wanted kDecoders[] = {
    {"h264", AVMEDIA_TYPE_VIDEO}, {"hevc", AVMEDIA_TYPE_VIDEO}, {"mpeg4", AVMEDIA_TYPE_VIDEO},
    {"h263", AVMEDIA_TYPE_VIDEO}, {"libdav1d", AVMEDIA_TYPE_VIDEO}, {"vp9", AVMEDIA_TYPE_VIDEO},
    {"prores", AVMEDIA_TYPE_VIDEO}, {"mjpeg", AVMEDIA_TYPE_VIDEO}, {"mjpegb", AVMEDIA_TYPE_VIDEO},
    {"png", AVMEDIA_TYPE_VIDEO}, {"dvvideo", AVMEDIA_TYPE_VIDEO}, {"cinepak", AVMEDIA_TYPE_VIDEO},
    {"svq1", AVMEDIA_TYPE_VIDEO}, {"svq3", AVMEDIA_TYPE_VIDEO}, {"smc", AVMEDIA_TYPE_VIDEO},
    {"rpza", AVMEDIA_TYPE_VIDEO}, {"8bps", AVMEDIA_TYPE_VIDEO}, {"qtrle", AVMEDIA_TYPE_VIDEO},
    {"rawvideo", AVMEDIA_TYPE_VIDEO},
    {"aac", AVMEDIA_TYPE_AUDIO}, {"aac_latm", AVMEDIA_TYPE_AUDIO}, {"mp3float", AVMEDIA_TYPE_AUDIO},
    {"mp3", AVMEDIA_TYPE_AUDIO}, {"mp2float", AVMEDIA_TYPE_AUDIO}, {"mp2", AVMEDIA_TYPE_AUDIO},
    {"mp1float", AVMEDIA_TYPE_AUDIO}, {"amrnb", AVMEDIA_TYPE_AUDIO}, {"amrwb", AVMEDIA_TYPE_AUDIO},
    {"alac", AVMEDIA_TYPE_AUDIO}, {"ac3", AVMEDIA_TYPE_AUDIO}, {"eac3", AVMEDIA_TYPE_AUDIO},
    {"opus", AVMEDIA_TYPE_AUDIO}, {"flac", AVMEDIA_TYPE_AUDIO}, {"qdm2", AVMEDIA_TYPE_AUDIO},
    {"mace3", AVMEDIA_TYPE_AUDIO}, {"mace6", AVMEDIA_TYPE_AUDIO}, {"gsm", AVMEDIA_TYPE_AUDIO},
    {"gsm_ms", AVMEDIA_TYPE_AUDIO}, {"dca", AVMEDIA_TYPE_AUDIO}, {"als", AVMEDIA_TYPE_AUDIO},
    {"adpcm_ima_qt", AVMEDIA_TYPE_AUDIO},
};

TEST_F(CodecLibrary, HasEveryDecoderTheRuntimeUses)
{
    for (const Wanted &w : kDecoders) {
        const AVCodec *codec = m_av.findDecoderByName(w.name);
        if (!codec) {
            ADD_FAILURE() << "no decoder " << w.name;
            continue;
        }
        EXPECT_STREQ(codec->name, w.name);
        EXPECT_EQ(codec->type, w.type) << w.name;
        EXPECT_NE(m_av.isDecoder(codec), 0) << w.name;
    }
    // Decoders only.
    EXPECT_EQ(m_av.findDecoderByName("h264_nonexistent"), nullptr);
}

TEST_F(CodecLibrary, Dav1dDecodesAv1)
{
    const AVCodec *codec = m_av.findDecoder(AV_CODEC_ID_AV1);
    ASSERT_NE(codec, nullptr);
    EXPECT_STREQ(codec->name, "libdav1d");
    EXPECT_EQ(m_av.findDecoderByName("av1"), nullptr) << "libavcodec's own AV1 decoder needs hardware";

    // avcodec imports dav1d's DLL from bin/, and opening the decoder starts a dav1d context.
    HMODULE hDav1d = GetModuleHandleA("libdav1d.dll");
    ASSERT_NE(hDav1d, nullptr) << "libdav1d.dll was not loaded with avcodec";
    EXPECT_EQ(ModuleDir(hDav1d), Lower(g_binDir));
    auto dav1dVersion = reinterpret_cast<decltype(&dav1d_version)>(
        reinterpret_cast<void *>(GetProcAddress(hDav1d, "dav1d_version")));
    ASSERT_NE(dav1dVersion, nullptr);
    EXPECT_STREQ(dav1dVersion(), NATIVE_DAV1D_VERSION) << "not the system's dav1d";

    AVCodecContext *context = m_av.allocContext(codec);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(m_av.open(context, codec, nullptr), 0);
    m_av.freeContext(&context);
    EXPECT_EQ(context, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: codeclib_tests BIN-FOLDER\n");
        return 2;
    }
    g_binDir = WindowsPathFromHost(argv[1]);
    if (g_binDir.empty() || g_binDir.back() != '\\')
        g_binDir += '\\';
    return RUN_ALL_TESTS();
}
