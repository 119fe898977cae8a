// The module's class table. The source filter's row joins it with the filter itself; until
// then the module serves no class and DllGetClassObject answers CLASS_E_CLASSNOTAVAILABLE.
#include "framework/combase.h"

CFactoryTemplate g_Templates[1] = {};
int g_cTemplates = 0;
