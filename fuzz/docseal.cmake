# Docseal's parsers. The judging of the validation service's answer is
# library-internal: the target builds it from its source, as its test does.
vorpin_fuzzer(xkms_response ${CMAKE_CURRENT_LIST_DIR}/xkms_response_fuzz.cpp platform)
target_sources(fuzz_xkms_response PRIVATE ${PROJECT_SOURCE_DIR}/Docseal/src/xkms.cpp)
target_include_directories(fuzz_xkms_response PRIVATE ${PROJECT_SOURCE_DIR}/Docseal/include
                                                      ${PROJECT_SOURCE_DIR}/Docseal/src)
