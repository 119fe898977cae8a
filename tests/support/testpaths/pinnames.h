// The names of a filter's pins in the order IEnumPins gives them: what a host shows.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <string>
#include <vector>

inline std::vector<std::wstring> PinNames(IBaseFilter *pFilter)
{
    std::vector<std::wstring> names;
    IEnumPins *pEnum = nullptr;
    if (FAILED(pFilter->EnumPins(&pEnum)))
        return names;
    IPin *pPin = nullptr;
    while (pEnum->Next(1, &pPin, nullptr) == S_OK) {
        PIN_INFO info = {};
        if (SUCCEEDED(pPin->QueryPinInfo(&info))) {
            names.push_back(info.achName);
            if (info.pFilter)
                info.pFilter->Release();
        }
        pPin->Release();
    }
    pEnum->Release();
    return names;
}
