# The card library's certificate parsers.
vorpin_fuzzer(cert_pubkey ${CMAKE_CURRENT_SOURCE_DIR}/cert_pubkey_fuzz.cpp vorpin_dll)

# The certificate texts join once the library exports them.
file(STRINGS ${PROJECT_SOURCE_DIR}/cardcrypto/exports.txt cardcrypto_exports)
if("issure_serial_get_by_cert" IN_LIST cardcrypto_exports)
  vorpin_fuzzer(cert_text ${CMAKE_CURRENT_SOURCE_DIR}/cert_text_fuzz.cpp vorpin_dll)
endif()
