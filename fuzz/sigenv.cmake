# The PKCS#7 library's parser and readers, and the signing library's reader
# of the signed content.
vorpin_fuzzer(sigenv_signature ${CMAKE_CURRENT_SOURCE_DIR}/sigenv_signature_fuzz.cpp sigenv_dll)
vorpin_fuzzer(docseal_content ${CMAKE_CURRENT_SOURCE_DIR}/docseal_content_fuzz.cpp)
target_sources(fuzz_docseal_content PRIVATE ${PROJECT_SOURCE_DIR}/Docseal/src/content_record.cpp)
target_include_directories(fuzz_docseal_content PRIVATE ${PROJECT_SOURCE_DIR}/Docseal/src)
