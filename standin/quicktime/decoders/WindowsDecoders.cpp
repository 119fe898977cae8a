#include "WindowsDecoders.h"

#include <windows.h>

#include <cwchar>
#include <mutex>

namespace {

class LibraryFactory final : public qte::DecoderFactory {
public:
    qte::Err createVideo(const qte::VideoCodec &codec, std::unique_ptr<qte::VideoDecoder> &out) override
    {
        qte::DecoderFactory *library = QtsLibraryDecoders();
        return library ? library->createVideo(codec, out) : qte::cantFindHandler;
    }
    qte::Err createAudio(const qte::AudioCodec &codec, std::unique_ptr<qte::AudioDecoder> &out) override
    {
        qte::DecoderFactory *library = QtsLibraryDecoders();
        return library ? library->createAudio(codec, out) : qte::cantFindHandler;
    }
};

class SystemFactory final : public qte::DecoderFactory {
public:
    qte::Err createVideo(const qte::VideoCodec &codec, std::unique_ptr<qte::VideoDecoder> &out) override
    {
        return QtsCreateVideoDecoder(codec, out);
    }
    qte::Err createAudio(const qte::AudioCodec &codec, std::unique_ptr<qte::AudioDecoder> &out) override
    {
        return QtsCreateAudioDecoder(codec, out);
    }
};

// The user's choice, read when the first decoder is made (not in DllMain): "system" in the
// environment variable (for tests) or the registry value puts the system's decoders first.
bool SystemFirst()
{
    wchar_t value[32] = {};
    const DWORD n = GetEnvironmentVariableW(L"QUORVEX_DECODERS", value, 32);
    if (n > 0 && n < 32)
        return std::wcscmp(value, L"system") == 0;
    DWORD bytes = sizeof value - sizeof value[0];
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Quorvex\\QuickTime Runtime", L"Decoders", RRF_RT_REG_SZ,
                     nullptr, value, &bytes) != ERROR_SUCCESS)
        return false;
    return std::wcscmp(value, L"system") == 0;
}

class RuntimeDecoders final : public qte::DecoderFactory {
public:
    qte::Err createVideo(const qte::VideoCodec &codec, std::unique_ptr<qte::VideoDecoder> &out) override
    {
        return chain().createVideo(codec, out);
    }
    qte::Err createAudio(const qte::AudioCodec &codec, std::unique_ptr<qte::AudioDecoder> &out) override
    {
        return chain().createAudio(codec, out);
    }

private:
    qte::DecoderChain &chain()
    {
        std::call_once(m_once, [this] {
            if (SystemFirst())
                m_chain.reset(new qte::DecoderChain({&m_system, &m_library}));
            else
                m_chain.reset(new qte::DecoderChain({&m_library, &m_system}));
        });
        return *m_chain;
    }
    LibraryFactory m_library;
    SystemFactory m_system;
    std::once_flag m_once;
    std::unique_ptr<qte::DecoderChain> m_chain;
};

}  // namespace

void QtsInstallDecoders()
{
    static RuntimeDecoders factory;
    qte::setDecoderFactory(&factory);
}
