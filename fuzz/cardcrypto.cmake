# The card library's certificate parsers: the public-key operations and the
# certificate texts.
vorpin_fuzzer(cert_pubkey ${CMAKE_CURRENT_SOURCE_DIR}/cert_pubkey_fuzz.cpp vorpin_dll)
vorpin_fuzzer(cert_text ${CMAKE_CURRENT_SOURCE_DIR}/cert_text_fuzz.cpp vorpin_dll)
