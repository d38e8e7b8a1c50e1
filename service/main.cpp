// The varn-odbc program: the service, reading its settings from the path
// fixed when it was built. It takes no arguments and reads no environment.
#include "platform.h"
#include "service.h"

#ifndef VARN_SETTINGS_FILE
#error "VARN_SETTINGS_FILE must name the settings file"
#endif

int main(void)
{
    return RunPlatformService(RunService, VARN_SETTINGS_FILE);
}
