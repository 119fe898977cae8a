// Video decoders of the system: not made yet (every track they would take is left undrawn).
#include "WindowsDecoders.h"

qte::Err QtsCreateVideoDecoder(const qte::VideoCodec &, std::unique_ptr<qte::VideoDecoder> &)
{
    return qte::cantFindHandler;
}
