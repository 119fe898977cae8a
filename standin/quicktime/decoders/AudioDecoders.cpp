// Sound decoders of the system: not made yet (every sound track they would take stays silent).
#include "WindowsDecoders.h"

qte::Err QtsCreateAudioDecoder(const qte::AudioCodec &, std::unique_ptr<qte::AudioDecoder> &)
{
    return qte::cantFindHandler;
}
