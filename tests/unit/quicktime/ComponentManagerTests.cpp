// The stand-in's Component Manager in process, with the binding's component-call wrappers
// in front of it and a component type of the test's own behind it: every wrapper's record
// must reach the instance it names with its 'what' and arguments intact.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ComponentManager.h"
#include "quicktime/QuickTimeSelectors.h"

extern "C" ComponentResult QtsCallComponent(ComponentInstance ci, ComponentParameters *params);
extern "C" ComponentResult QtsCallComponentFunctionWithStorage(Handle storage,
                                                               ComponentParameters *params,
                                                               ComponentFunctionUPP function);

namespace {

struct Call {
    SInt16 what;
    std::vector<ComponentParamSlot> slots;
};

class EchoComponent : public QtsComponent {
public:
    ComponentResult Call(SInt16 what, const ComponentParamSlot *slots, size_t slotCount) override
    {
        calls.push_back({what, std::vector<ComponentParamSlot>(slots, slots + slotCount)});
        if (what == 7) {
            // Closing itself from inside a call: the instance lives until the call returns.
            CloseComponent(self);
            return ComponentResult(calls.size());
        }
        return 1000 + what;
    }
    ComponentResult Version() override { return 0x00020003; }
    bool Implements(SInt16 what) const override
    {
        return what == 7 || what == kSCAudioFillBufferSelect ||
               what == kComponentSetComponentPropertySelect ||
               what == kComponentGetComponentPropertySelect;
    }
    std::vector<::Call> calls;
    ComponentInstance self = nullptr;
};

EchoComponent *g_lastMade;

std::unique_ptr<QtsComponent> MakeEcho()
{
    auto component = std::make_unique<EchoComponent>();
    g_lastMade = component.get();
    return component;
}

constexpr OSType kTestType = QTFourCC("tEST");
QTS_REGISTER_COMPONENT(kEcho, kTestType, QTFourCC("echo"), &MakeEcho);

ComponentInstance OpenEcho()
{
    ComponentInstance ci = reinterpret_cast<ComponentInstance>(0x7EADBEEF);
    EXPECT_EQ(OpenADefaultComponent(kTestType, QTFourCC("echo"), &ci), noErr);
    return ci;
}

TEST(ComponentManager, WrappersReachTheirInstance)
{
    const ComponentInstance first = OpenEcho();
    EchoComponent *firstComponent = g_lastMade;
    const ComponentInstance second = OpenEcho();
    EchoComponent *secondComponent = g_lastMade;
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first, second);

    const char format[40] = {};
    EXPECT_EQ(QTSetComponentProperty(second, QTFourCC("scda"), QTFourCC("isbd"), 40, format), 1000 - 13);
    ASSERT_EQ(secondComponent->calls.size(), 1u);
    EXPECT_TRUE(firstComponent->calls.empty());
    const std::vector<ComponentParamSlot> expected = {
        ComponentParamSlot(QTFourCC("scda")), ComponentParamSlot(QTFourCC("isbd")), 40,
        reinterpret_cast<ComponentParamSlot>(format)};
    EXPECT_EQ(secondComponent->calls[0].what, -13);
    EXPECT_EQ(secondComponent->calls[0].slots, expected);

    UInt32 packets = 10;
    AudioBufferList buffers = {};
    EXPECT_EQ(SCAudioFillBuffer(first, nullptr, &packets, &packets, &buffers, nullptr), 1130);
    ASSERT_EQ(firstComponent->calls.size(), 1u);
    EXPECT_EQ(firstComponent->calls[0].slots.size(), 5u);
    EXPECT_EQ(firstComponent->calls[0].slots[3], reinterpret_cast<ComponentParamSlot>(&buffers));

    EXPECT_EQ(GetComponentVersion(first), 0x00020003);
    EXPECT_EQ(ComponentFunctionImplemented(first, kSCAudioFillBufferSelect), 1);
    EXPECT_EQ(ComponentFunctionImplemented(first, 131), 0);
    EXPECT_EQ(QTGetComponentPropertyInfo(first, 0, 0, nullptr, nullptr, nullptr), badComponentSelector);
    EXPECT_EQ(firstComponent->calls.size(), 1u) << "an unimplemented routine reached the component";

    EXPECT_EQ(CloseComponent(first), noErr);
    EXPECT_EQ(GetComponentVersion(first), badComponentInstance);
    EXPECT_EQ(CloseComponent(first), invalidComponentID);
    EXPECT_EQ(GetComponentVersion(second), 0x00020003);
    EXPECT_EQ(CloseComponent(second), noErr);
}

TEST(ComponentManager, OpeningByTypeAlone)
{
    ComponentInstance ci = reinterpret_cast<ComponentInstance>(0x7EADBEEF);
    EXPECT_EQ(OpenADefaultComponent(kTestType, 0, &ci), noErr);
    EXPECT_EQ(GetComponentVersion(ci), 0x00020003);
    EXPECT_EQ(CloseComponent(ci), noErr);

    ci = reinterpret_cast<ComponentInstance>(0x7EADBEEF);
    EXPECT_EQ(OpenADefaultComponent(kTestType, QTFourCC("othr"), &ci), couldntGetRequiredComponent);
    EXPECT_EQ(ci, nullptr);
    EXPECT_EQ(OpenADefaultComponent(kTestType, 0, nullptr), paramErr);
}

#pragma pack(push, 2)
struct OneSlotRecord {
    UInt8 flags;
    UInt8 paramSize;
    SInt16 what;
    SInt32 slot;
};
#pragma pack(pop)

TEST(ComponentManager, AComponentMayCloseItselfDuringACall)
{
    const ComponentInstance ci = OpenEcho();
    g_lastMade->self = ci;
    OneSlotRecord record = {0, 4, 7, 55};
    EXPECT_EQ(QtsCallComponent(ci, reinterpret_cast<ComponentParameters *>(&record)), 1);
    EXPECT_EQ(GetComponentVersion(ci), badComponentInstance);
    EXPECT_EQ(QtsCallComponent(ci, nullptr), badComponentInstance);
}

Handle g_storage;
SInt32 g_first, g_second;

ComponentResult WithStorage(Handle storage, SInt32 first, SInt32 second)
{
    g_storage = storage;
    g_first = first;
    g_second = second;
    return 42;
}

TEST(ComponentManager, FunctionWithStorageGetsTheSlots)
{
#pragma pack(push, 2)
    struct {
        UInt8 flags;
        UInt8 paramSize;
        SInt16 what;
        ComponentParamSlot slots[2];
    } record = {0, 2 * sizeof(ComponentParamSlot), 0, {-5, 0x1234}};
#pragma pack(pop)
    const Handle storage = reinterpret_cast<Handle>(0x5000);
    const auto function = reinterpret_cast<ComponentFunctionUPP>(reinterpret_cast<void (*)()>(&WithStorage));
    EXPECT_EQ(QtsCallComponentFunctionWithStorage(
                  storage, reinterpret_cast<ComponentParameters *>(&record), function),
              42);
    EXPECT_EQ(g_storage, storage);
    EXPECT_EQ(g_first, -5);
    EXPECT_EQ(g_second, 0x1234);
    EXPECT_EQ(QtsCallComponentFunctionWithStorage(storage, nullptr, function), paramErr);
}

}  // namespace
