#include "WindowsDecoders.h"

namespace {

class WindowsDecoderFactory final : public qte::DecoderFactory {
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

}  // namespace

void QtsInstallDecoders()
{
    static WindowsDecoderFactory factory;
    qte::setDecoderFactory(&factory);
}
