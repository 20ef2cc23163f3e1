# A zh_TW.BIG5 locale compiled into the build tree, for tests that run a host
# under a double-byte code page. Tests that need it require the fixture
# big5_locale and get LOCPATH through vorpin_big5_locale_env(test).
set(VORPIN_LOCALE_DIR ${PROJECT_BINARY_DIR}/locale CACHE INTERNAL "compiled test locales")
file(MAKE_DIRECTORY ${VORPIN_LOCALE_DIR})
if(NOT TEST locale.big5)
  add_test(NAME locale.big5
           COMMAND localedef -i zh_TW -f BIG5 ${VORPIN_LOCALE_DIR}/zh_TW.BIG5)
  set_tests_properties(locale.big5 PROPERTIES FIXTURES_SETUP big5_locale)
endif()

function(vorpin_big5_locale_env test)
  set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED big5_locale)
  set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT LOCPATH=${VORPIN_LOCALE_DIR})
endfunction()
