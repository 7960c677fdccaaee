// Selector: a control or unit that picks one of its inputs (1-based input numbers), and
// SelectorListener: a control behind one selector input that follows the selection.
#pragma once

#include <win/kernel.h>
#include <win/unknown.h>

// {524FA5C2-9FBF-4FC8-B8D2-DC302DEDB0DF}
DEFINE_GUID(IID_Selector, 0x524FA5C2, 0x9FBF, 0x4FC8, 0xB8, 0xD2, 0xDC, 0x30, 0x2D, 0xED, 0xB0, 0xDF);
// {D31296ED-008B-4C8C-A239-4E6B322E9626}
DEFINE_GUID(IID_SelectorListener, 0xD31296ED, 0x008B, 0x4C8C, 0xA2, 0x39, 0x4E, 0x6B, 0x32, 0x2D, 0x96, 0x26);

class SelectorListener : public IUnknown {
public:
    // Operations in table order.
    STDMETHOD(OnSelectionChanging)(ULONG NewSelection, ULONG OldSelection) PURE;
    STDMETHOD(OnSelectionChanged)(ULONG Selection) PURE;
    // The selector input this control sits behind.
    STDMETHOD(SetSelectorInput)(ULONG Input) PURE;

protected:
    ~SelectorListener() = default;
};

class Selector : public IUnknown {
public:
    // Operations in table order.
    STDMETHOD(GetSelected)(PULONG Selection) PURE;
    STDMETHOD(SetSelected)(ULONG Input) PURE;
    STDMETHOD(GetSourceCount)(PULONG Count) PURE;
    // Takes a reference on Listener and calls it on every selection change.
    STDMETHOD(AddListener)(SelectorListener* Listener) PURE;

protected:
    ~Selector() = default;
};
