// Owning pointers for the OpenSSL objects of the library.
#ifndef CARDCRYPTO_OSSL_H
#define CARDCRYPTO_OSSL_H

#include "common/ssl_ptr.h"

#endif
