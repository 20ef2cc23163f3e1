// Owning pointers for the OpenSSL objects of the PKCS#7 library.
#ifndef SIGENV_OSSL_H
#define SIGENV_OSSL_H

#include "common/ssl_ptr.h"

#endif
