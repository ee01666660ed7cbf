// libcertapi: certificates, stores, chains and PFX on top of libprovapi.
// The store and PFX functions are added here as the bridge comes to use them.
#include "csp/wincrypt.h"
