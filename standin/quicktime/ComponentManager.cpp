#include "ComponentManager.h"

#include <map>
#include <mutex>

#include "RoutineTable.h"

namespace {

struct ComponentType {
    OSType type;
    OSType subType;
    QtsComponentFactory factory;
};

// Constant-initialised: registrations run from other files' static constructors.
constexpr size_t kMaxTypes = 32;
ComponentType g_types[kMaxTypes];
size_t g_typeCount;

class InstanceTable {
public:
    ComponentInstance Add(std::shared_ptr<QtsComponent> component)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const uintptr_t id = m_nextId;
        m_nextId += 4;
        m_instances.emplace(id, std::move(component));
        return reinterpret_cast<ComponentInstance>(id);
    }
    std::shared_ptr<QtsComponent> Find(ComponentInstance ci)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_instances.find(reinterpret_cast<uintptr_t>(ci));
        return found == m_instances.end() ? nullptr : found->second;
    }
    // The instance dies when the last call still running on it returns.
    bool Remove(ComponentInstance ci)
    {
        std::shared_ptr<QtsComponent> removed;
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_instances.find(reinterpret_cast<uintptr_t>(ci));
        if (found == m_instances.end())
            return false;
        removed = std::move(found->second);
        m_instances.erase(found);
        return true;
    }

private:
    std::mutex m_lock;
    std::map<uintptr_t, std::shared_ptr<QtsComponent>> m_instances;
    uintptr_t m_nextId = 0x00C00010;
};

InstanceTable &Instances()
{
    static InstanceTable table;
    return table;
}

ComponentResult Dispatch(ComponentInstance ci, const ComponentParameters *params)
{
    const std::shared_ptr<QtsComponent> component = Instances().Find(ci);
    if (!component)
        return badComponentInstance;
    if (!params)
        return paramErr;
    const size_t slotCount = params->paramSize / sizeof(ComponentParamSlot);
    const ComponentParamSlot *slots = params->params;
    switch (params->what) {
    case kComponentVersionSelect:
        return component->Version();
    case kComponentCanDoSelect:
        if (slotCount < 1)
            return paramErr;
        return component->Implements(SInt16(slots[0])) ? 1 : 0;
    default:
        if (!component->Implements(params->what))
            return badComponentSelector;
        return component->Call(params->what, slots, slotCount);
    }
}

}  // namespace

QtsComponentRegistration::QtsComponentRegistration(OSType type, OSType subType,
                                                   QtsComponentFactory factory)
{
    if (g_typeCount < kMaxTypes)
        g_types[g_typeCount++] = {type, subType, factory};
}

extern "C" {

OSErr OpenADefaultComponent(OSType componentType, OSType componentSubType, ComponentInstance *ci)
{
    if (!ci)
        return paramErr;
    *ci = nullptr;
    for (size_t i = 0; i < g_typeCount; ++i) {
        const ComponentType &type = g_types[i];
        if (type.type != componentType || (componentSubType != 0 && type.subType != componentSubType))
            continue;
        std::unique_ptr<QtsComponent> component = type.factory();
        if (!component)
            return memFullErr;
        *ci = Instances().Add(std::shared_ptr<QtsComponent>(std::move(component)));
        return noErr;
    }
    return couldntGetRequiredComponent;
}

OSErr CloseComponent(ComponentInstance ci)
{
    return Instances().Remove(ci) ? noErr : invalidComponentID;
}

ComponentResult QTDispatch_CallComponentDispatch(ComponentInstance ci,
                                                 ComponentParameters *params)
{
    return Dispatch(ci, params);
}

// The exported component entries.
ComponentResult QtsCallComponent(ComponentInstance ci, ComponentParameters *params)
{
    return Dispatch(ci, params);
}

// Calls a component function with its storage and the record's slots as its arguments.
ComponentResult QtsCallComponentFunctionWithStorage(Handle storage, ComponentParameters *params,
                                                    ComponentFunctionUPP function)
{
    constexpr size_t kMaxSlots = 16;
    if (!params || !function || params->paramSize / sizeof(ComponentParamSlot) > kMaxSlots)
        return paramErr;
    ComponentParamSlot slots[kMaxSlots] = {};
    for (size_t i = 0; i < params->paramSize / sizeof(ComponentParamSlot); ++i)
        slots[i] = params->params[i];
    // The caller removes the arguments (cdecl, and every x86-64 call): the callee reads the
    // ones it has, each from a slot-wide argument whose low bytes hold its value.
    typedef ComponentParamSlot P;
    typedef ComponentResult (*WithSlots)(Handle, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P, P);
    const auto call = reinterpret_cast<WithSlots>(reinterpret_cast<void (*)()>(function));
    return call(storage, slots[0], slots[1], slots[2], slots[3], slots[4], slots[5], slots[6],
                slots[7], slots[8], slots[9], slots[10], slots[11], slots[12], slots[13],
                slots[14], slots[15]);
}

}  // extern "C"

namespace {
const QtsRoutine kComponentRoutines[] = {
    QTS_ROUTINE(OpenADefaultComponent),
    QTS_ROUTINE(CloseComponent),
    QTS_INTERNAL_ROUTINE(CallComponentDispatch),
};
QTS_REGISTER_ROUTINES(kComponentRoutines);
}  // namespace
