// The configuration export: the settings are reloaded, edited and saved again whatever
// the dialog's outcome, so a cancelled dialog still writes back what was loaded.
#include "api/kestrel.h"
#include "config/config_dialog.h"
#include "config/settings.h"
#include "platform/module.h"

extern "C" int KESTREL_API KestrelConfigDialog(KESTREL_WINDOW window, const char *option, int mode)
{
    (void)option;
    (void)mode;
    settings_load();
    int result = config_dialog_run(platform_module_handle(), window);
    settings_save();
    return result;
}
