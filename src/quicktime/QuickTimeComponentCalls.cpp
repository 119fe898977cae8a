// Component-call wrappers: each builds the ComponentParameters record of its routine on the
// stack (the arguments after the instance, first argument first, each in a zeroed slot as wide
// as a pointer) and sends it through the component dispatch selector.
#include <cstring>
#include <type_traits>

#include "quicktime/QuickTime.h"
#include "quicktime/QuickTimeSelectors.h"

namespace {

#pragma pack(push, 2)
template <size_t N>
struct ComponentCallRecord {
    UInt8 flags;
    UInt8 paramSize;
    SInt16 what;
    ComponentParamSlot params[N];
};
template <>
struct ComponentCallRecord<0> {
    UInt8 flags;
    UInt8 paramSize;
    SInt16 what;
};
#pragma pack(pop)

template <typename T>
void FillSlot(ComponentParamSlot *slot, T value)
{
    static_assert(sizeof(T) <= sizeof(ComponentParamSlot) && std::is_trivially_copyable<T>::value,
                  "component arguments travel in pointer-wide slots");
    *slot = 0;
    std::memcpy(slot, &value, sizeof(T));
}

template <typename... Args>
ComponentResult CallComponentRoutine(ComponentInstance ci, SInt16 what, Args... args)
{
    constexpr size_t count = sizeof...(Args);
    ComponentCallRecord<count> record;
    record.flags = 0;
    record.paramSize = UInt8(count * sizeof(ComponentParamSlot));
    record.what = what;
    if constexpr (count > 0) {
        ComponentParamSlot *slot = record.params;
        (FillSlot(slot++, args), ...);
    }
    return QTDispatch_CallComponentDispatch(ci, reinterpret_cast<ComponentParameters *>(&record));
}

}  // namespace

extern "C" {

ComponentResult ComponentFunctionImplemented(ComponentInstance ci, SInt16 ftnNumber)
{
    return CallComponentRoutine(ci, kComponentCanDoSelect, ftnNumber);
}

ComponentResult GetComponentVersion(ComponentInstance ci)
{
    return CallComponentRoutine(ci, kComponentVersionSelect);
}

ComponentResult QTGetComponentPropertyInfo(ComponentInstance ci,
                                           ComponentPropertyClass inPropClass,
                                           ComponentPropertyID inPropID,
                                           ComponentValueType *outPropType,
                                           ByteCount *outPropValueSize,
                                           UInt32 *outPropertyFlags)
{
    return CallComponentRoutine(ci, kComponentGetComponentPropertyInfoSelect, inPropClass,
                                inPropID, outPropType, outPropValueSize, outPropertyFlags);
}

ComponentResult QTGetComponentProperty(ComponentInstance ci, ComponentPropertyClass inPropClass,
                                       ComponentPropertyID inPropID, ByteCount inPropValueSize,
                                       ComponentValuePtr outPropValueAddress,
                                       ByteCount *outPropValueSizeUsed)
{
    return CallComponentRoutine(ci, kComponentGetComponentPropertySelect, inPropClass, inPropID,
                                inPropValueSize, outPropValueAddress, outPropValueSizeUsed);
}

ComponentResult QTSetComponentProperty(ComponentInstance ci, ComponentPropertyClass inPropClass,
                                       ComponentPropertyID inPropID, ByteCount inPropValueSize,
                                       ConstComponentValuePtr inPropValueAddress)
{
    return CallComponentRoutine(ci, kComponentSetComponentPropertySelect, inPropClass, inPropID,
                                inPropValueSize, inPropValueAddress);
}

ComponentResult SCAudioFillBuffer(ComponentInstance ci, SCAudioInputDataProc inInputDataProc,
                                  void *inInputDataProcUserData, UInt32 *ioOutputDataPacketSize,
                                  AudioBufferList *outOutputData,
                                  AudioStreamPacketDescription *outPacketDescription)
{
    return CallComponentRoutine(ci, kSCAudioFillBufferSelect, inInputDataProc,
                                inInputDataProcUserData, ioOutputDataPacketSize, outOutputData,
                                outPacketDescription);
}

}  // extern "C"
