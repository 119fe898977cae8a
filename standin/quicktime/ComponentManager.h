// The stand-in's Component Manager. Component types register a factory under their type and
// subtype (QTS_REGISTER_COMPONENT); OpenADefaultComponent makes an instance, and every
// component call (selector 0x10000, or the _CallComponent export) reaches that instance
// with the record's 'what' and argument slots. Instances are opaque numbers, never
// addresses, so a stale or foreign one is answered with badComponentInstance.
//
// Locking: the instance table's lock is held only to find, add or remove an instance; a
// call runs outside it, holding its own reference, so a component may call back in.
#pragma once

#include <cstddef>
#include <memory>

#include "quicktime/QuickTime.h"

class QtsComponent {
public:
    virtual ~QtsComponent() = default;
    // A routine of the component type ('what' >= 0) or a standard request it handles
    // itself; slots holds the record's arguments, first argument first.
    virtual ComponentResult Call(SInt16 what, const ComponentParamSlot *slots,
                                 size_t slotCount) = 0;
    virtual ComponentResult Version() { return 0x00010000; }
    virtual bool Implements(SInt16 what) const = 0;
};

typedef std::unique_ptr<QtsComponent> (*QtsComponentFactory)();

class QtsComponentRegistration {
public:
    QtsComponentRegistration(OSType type, OSType subType, QtsComponentFactory factory);
};

#define QTS_REGISTER_COMPONENT(name, type, subType, factory) \
    static const QtsComponentRegistration name##Registration(type, subType, factory)
