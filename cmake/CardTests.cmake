# Test registration for the two kinds of card.
#
# The SoftHSM2 token (the default card) is provisioned once per build tree
# into VORPIN_CARD_DIR by the fixture test card.provision; its module is
# reached through the link VORPIN_CARD_DIR/module/aetpkss1.dll put on the
# loader's path. Tests read VORPIN_CARD_DIR to find the PEM keys and
# certificates of the card (the product itself reads no variable).
set(VORPIN_CARD_DIR ${PROJECT_BINARY_DIR}/card CACHE INTERNAL "SoftHSM2 card of the tests")
set(VORPIN_CARD_PIN 123456 CACHE INTERNAL "user PIN of the SoftHSM2 card")

add_executable(card_order_probe ${PROJECT_SOURCE_DIR}/scripts/card_order_probe.cpp)
target_link_libraries(card_order_probe PRIVATE platform PkgConfig::P11KIT)

# The card's module: SoftHSM2 behind a thin module that keeps the token's
# listing order the same from one C_Initialize to the next.
find_file(VORPIN_SOFTHSM_MODULE libsofthsm2.so
          PATHS /usr/lib/softhsm /usr/lib/x86_64-linux-gnu/softhsm NO_DEFAULT_PATH)
add_library(card_listing_order MODULE ${PROJECT_SOURCE_DIR}/scripts/listing_order_module.cpp)
target_compile_definitions(card_listing_order PRIVATE VORPIN_SOFTHSM_MODULE="${VORPIN_SOFTHSM_MODULE}")
target_link_libraries(card_listing_order PRIVATE platform PkgConfig::P11KIT)

add_test(NAME card.provision
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/provision-card.sh ${VORPIN_CARD_DIR}
                 $<TARGET_FILE:card_order_probe> $<TARGET_FILE:card_listing_order>)
set_tests_properties(card.provision PROPERTIES FIXTURES_SETUP softhsm_card)

# vorpin_softhsm_test(name command...): a test that runs against the SoftHSM card.
function(vorpin_softhsm_test name)
  add_test(NAME ${name} COMMAND ${ARGN})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED softhsm_card
    RESOURCE_LOCK softhsm_card
    ENVIRONMENT "SOFTHSM2_CONF=${VORPIN_CARD_DIR}/softhsm2.conf;LD_LIBRARY_PATH=${VORPIN_CARD_DIR}/module;VORPIN_CARD_DIR=${VORPIN_CARD_DIR};VORPIN_CARD_PIN=${VORPIN_CARD_PIN}")
endfunction()

# vorpin_emucard_test(name [MODULE_DIR dir] command...): a test that runs
# against the emulated card. The loader's path holds the emulated module's
# folder, or dir (the folder without C_GetFunctionList, the one without any
# module). The path is fixed when a process starts, so a case that needs
# another module folder is a test entry of its own.
function(vorpin_emucard_test name)
  cmake_parse_arguments(ARG "" "MODULE_DIR" "" ${ARGN})
  if(NOT ARG_MODULE_DIR)
    set(ARG_MODULE_DIR ${EMUCARD_MODULE_DIR})
  endif()
  add_test(NAME ${name} COMMAND ${ARG_UNPARSED_ARGUMENTS})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "LD_LIBRARY_PATH=${ARG_MODULE_DIR}")
endfunction()
