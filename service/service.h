// The service: start-up, then the serving loop until the process ends.
#ifndef VARN_SERVICE_H
#define VARN_SERVICE_H

// Starts the service with the settings store at `location` and serves
// clients until the process is ended. Returns only when start-up fails,
// with a nonzero status.
int RunService(const char *settingsLocation);

#endif
