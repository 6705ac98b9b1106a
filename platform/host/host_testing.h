// What the host backend lets tests observe beyond the Windows API. Private to
// the host build and its tests.
#ifndef SAVERSET_PLATFORM_HOST_HOST_TESTING_H
#define SAVERSET_PLATFORM_HOST_HOST_TESTING_H

// The number of registry keys this process has opened or created and not yet
// closed; predefined root keys do not count.
int HostOpenKeyCount();

#endif  // SAVERSET_PLATFORM_HOST_HOST_TESTING_H
