// The module's class table: the one creatable class, the movie source filter, with the data
// the filter mapper registers for it.
#include "filter/moviesourcefilter.h"
#include "framework/combase.h"
#include "framework/setupdata.h"

#include <uuids.h>

namespace {

const WCHAR kFilterName[] = L"Quorvex Tavrolin Filter";

const AMOVIESETUP_MEDIATYPE kOutputTypes[] = {
    {
        &GUID_NULL,  // clsMajorType: any; the real pins' types depend on the movie
        &GUID_NULL,  // clsMinorType: any
    },
};

// One generic output pin; the pins a movie really gets are "Video Out n" and "Audio Out n".
const AMOVIESETUP_PIN kPins[] = {
    {
        const_cast<LPWSTR>(L"Output"),  // strName
        FALSE,                          // bRendered
        TRUE,                           // bOutput
        FALSE,                          // bZero: a loaded movie always has a pin
        FALSE,                          // bMany
        &GUID_NULL,                     // clsConnectsToFilter: any filter
        L"Input",                       // strConnectsToPin
        1,                              // nMediaTypes
        kOutputTypes,                   // lpMediaType
    },
};

const AMOVIESETUP_FILTER kFilterSetup = {
    &CLSID_MovieSourceFilter,  // clsID
    kFilterName,               // strName
    MERIT_DO_NOT_USE,          // dwMerit (0x200000): hosts reach it through the extensions
    1,                         // nPins
    kPins,                     // lpPin
};

}  // namespace

CFactoryTemplate g_Templates[] = {
    {
        kFilterName,                         // m_Name
        &CLSID_MovieSourceFilter,            // m_ClsID
        CMovieSourceFilter::CreateInstance,  // m_lpfnNew
        nullptr,                             // m_lpfnInit
        &kFilterSetup,                       // m_pAMovieSetup_Filter
    },
};
int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);
