# The exchange structure's reader: the signer's certificate and the unwrap
# up to the card (the card library is never started here).
vorpin_fuzzer(exchange_structure ${CMAKE_CURRENT_LIST_DIR}/exchange_structure_fuzz.cpp
              exchpack_dll vorpin_dll)
