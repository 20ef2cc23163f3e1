# Docseal's parsers. The judging of the validation service's answer is
# library-internal: the target builds it from its source, as its test does.
vorpin_fuzzer(xkms_response ${CMAKE_CURRENT_LIST_DIR}/xkms_response_fuzz.cpp platform)
target_sources(fuzz_xkms_response PRIVATE ${PROJECT_SOURCE_DIR}/Docseal/src/xkms.cpp)
target_include_directories(fuzz_xkms_response PRIVATE ${PROJECT_SOURCE_DIR}/Docseal/include
                                                      ${PROJECT_SOURCE_DIR}/Docseal/src)
target_include_directories(fuzz_xkms_response
                           PRIVATE $<TARGET_PROPERTY:sigenv_dll,INTERFACE_INCLUDE_DIRECTORIES>)

# Verification of signature files whose signature holds, over any content.
vorpin_fuzzer(docseal_verify ${CMAKE_CURRENT_LIST_DIR}/docseal_verify_fuzz.cpp Docseal
              OpenSSL::Crypto)
