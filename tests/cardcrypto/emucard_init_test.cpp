// vorpin_init / vorpin_fini against the emulated card: every step, result,
// trace message and state of the library-wide state table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "emucard_fixture.h"
#include "init_messages.h"

// The slot-list allocation failure is made with a slot count whose byte
// size overflows; the sanitizer build must let calloc answer null then.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace emucard_test {
namespace {

using ::testing::ElementsAreArray;

const char kFiniTrying[] = "vorpin_fini(): trying to finalize the Cryptoki library...";
const char kFiniOk[] = "vorpin_fini(): finalize the Cryptoki library OK.";
const char kFiniFailed[] = "vorpin_fini(): failed to finalize the Cryptoki library!";
const char kPinNotReady[] = "vorpin_check_pin_valid(): NOT initialize Smart Card module yet!";

class InitTest : public EmuCardTest {};

TEST_F(InitTest, SucceedsWithEveryStepAndFiniReleasesIt) {
  AddStandardCard();
  ASSERT_EQ(vorpin_init(), VORPIN_OK);
  EXPECT_THAT(Messages(), ElementsAreArray(kInitSteps));
  EXPECT_EQ(Describe(CallSequence()), "C_GetFunctionList C_Initialize C_GetSlotList C_GetSlotList");
  const auto lists = CallsOf(EMUCARD_C_GetSlotList);
  ASSERT_EQ(lists.size(), 2u);
  // First every slot is counted, then only those with a token are listed,
  // with the count as the capacity.
  EXPECT_EQ(lists[0].token_present, CK_FALSE);
  EXPECT_TRUE(lists[0].null_arg);
  EXPECT_EQ(lists[1].token_present, CK_TRUE);
  EXPECT_FALSE(lists[1].null_arg);
  EXPECT_EQ(lists[1].count, 1u);
  EXPECT_EQ(emucard_initialized(), 1);

  ClearMessages();
  EXPECT_EQ(vorpin_fini(), VORPIN_OK);
  EXPECT_THAT(Messages(), ElementsAreArray({kFiniTrying, kFiniOk}));
  EXPECT_EQ(emucard_initialized(), 0);
  ExpectNullInitArguments();

  // A second vorpin_fini has nothing left to finalize.
  emucard_clear_log();
  ClearMessages();
  EXPECT_EQ(vorpin_fini(), VORPIN_OK);
  EXPECT_THAT(Messages(), ElementsAreArray({kFiniTrying}));
  EXPECT_EQ(emucard_call_count(), 0u);
}

TEST_F(InitTest, FiniWithoutInitMakesNoCardCall) {
  AddStandardCard();
  EXPECT_EQ(vorpin_fini(), VORPIN_OK);
  EXPECT_THAT(Messages(), ElementsAreArray({kFiniTrying}));
  EXPECT_EQ(emucard_call_count(), 0u);
}

// One failing vorpin_init: its result, its messages, the card operations
// answering 512 afterwards without a card call, and the vorpin_fini that
// releases the partial start (C_Finalize only once C_Initialize worked).
struct InitFailureCase {
  const char* name;
  void (*scenario)();
  int32_t result;
  std::vector<std::string> messages;
  bool finalizes;
  friend void PrintTo(const InitFailureCase& c, std::ostream* os) { *os << c.name; }
};

constexpr CK_ULONG kOverflowingSlotCount = (CK_ULONG{1} << 61) + 1;

const InitFailureCase kInitFailures[] = {
    {"get_function_list_fails",
     [] { emucard_fail_always(EMUCARD_C_GetFunctionList, CKR_GENERAL_ERROR); },
     VORPIN_ERR_GET_FUNCTION_LIST,
     InitMessages(
         6, {"vorpin_init(): failed to get the function list of PKCS#11 library!", kInitFailed}),
     false},
    {"initialize_fails", [] { emucard_fail_nth(EMUCARD_C_Initialize, 1, CKR_DEVICE_ERROR); },
     VORPIN_ERR_INITIALIZE,
     InitMessages(8, {"vorpin_init(): failed to initialize the Cryptoki library!", kInitFailed}),
     false},
    {"slot_count_fails", [] { emucard_fail_nth(EMUCARD_C_GetSlotList, 1, CKR_DEVICE_ERROR); },
     VORPIN_ERR_SLOT_COUNT,
     InitMessages(10,
                  {"vorpin_init(): failed to get the number of slots in the system!", kInitFailed}),
     true},
    {"no_slot", [] {}, VORPIN_ERR_NO_SLOT,
     InitMessages(10, {"vorpin_init(): there are 0 slots in the system.",
                       "vorpin_init(): no any slot found!", kInitFailed}),
     true},
    {"slot_list_fails", [] { emucard_fail_nth(EMUCARD_C_GetSlotList, 2, CKR_DEVICE_ERROR); },
     VORPIN_ERR_SLOT_LIST,
     InitMessages(12, {"vorpin_init(): failed to get the slot list!", kInitFailed}), true},
    {"slot_list_allocation_fails", [] { emucard_set_reported_slot_count(kOverflowingSlotCount); },
     VORPIN_ERR_MEMORY,
     InitMessages(
         10, {"vorpin_init(): there are " +
                  std::to_string(static_cast<int>(kOverflowingSlotCount)) + " slots in the system.",
              "vorpin_init(): allocate a buffer to store slot list error!", kInitFailed}),
     true},
};

class InitFailureTest : public EmuCardTest,
                        public ::testing::WithParamInterface<InitFailureCase> {};

TEST_P(InitFailureTest, LeavesPartialStateThatFiniReleases) {
  const InitFailureCase& c = GetParam();
  if (c.result != VORPIN_ERR_NO_SLOT) AddStandardCard();
  c.scenario();

  EXPECT_EQ(vorpin_init(), c.result);
  EXPECT_THAT(Messages(), ElementsAreArray(c.messages));
  EXPECT_EQ(emucard_initialized(), c.finalizes ? 1 : 0);

  emucard_clear_log();
  ClearMessages();
  EXPECT_EQ(vorpin_check_pin_valid(Pin(), PinLen()), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_THAT(Messages(), ElementsAreArray({kPinNotReady}));
  EXPECT_EQ(emucard_call_count(), 0u);

  ClearMessages();
  EXPECT_EQ(vorpin_fini(), VORPIN_OK);
  EXPECT_EQ(CallsOf(EMUCARD_C_Finalize).size(), c.finalizes ? 1u : 0u);
  if (c.finalizes) {
    EXPECT_THAT(Messages(), ElementsAreArray({kFiniTrying, kFiniOk}));
  } else {
    EXPECT_THAT(Messages(), ElementsAreArray({kFiniTrying}));
  }
  EXPECT_EQ(emucard_initialized(), 0);
  ExpectNullInitArguments();
}

INSTANTIATE_TEST_SUITE_P(Emucard, InitFailureTest, ::testing::ValuesIn(kInitFailures), CaseName());

TEST_F(InitTest, SecondInitFailsAndTheFirstStateStays) {
  AddStandardCard();
  ASSERT_EQ(vorpin_init(), VORPIN_OK);
  ClearMessages();
  emucard_clear_log();

  EXPECT_EQ(vorpin_init(), VORPIN_ERR_INITIALIZE);
  EXPECT_THAT(Messages(),
              ElementsAreArray(InitMessages(
                  8, {"vorpin_init(): failed to initialize the Cryptoki library!", kInitFailed})));
  // The module answered the second C_Initialize as already initialized.
  const auto inits = CallsOf(EMUCARD_C_Initialize);
  ASSERT_EQ(inits.size(), 1u);
  EXPECT_EQ(inits[0].rv, static_cast<CK_RV>(CKR_CRYPTOKI_ALREADY_INITIALIZED));

  EXPECT_EQ(vorpin_check_pin_valid(Pin(), PinLen()), VORPIN_OK);
  const auto opens = CallsOf(EMUCARD_C_OpenSession);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].slot, kCardSlot);
  EXPECT_EQ(vorpin_fini(), VORPIN_OK);
  EXPECT_EQ(emucard_initialized(), 0);
}

TEST_F(InitTest, InitAfterFailedSlotStepFailsUntilFini) {
  emucard_add_reader(kCardSlot, 1);
  emucard_fail_nth(EMUCARD_C_GetSlotList, 2, CKR_DEVICE_ERROR);
  ASSERT_EQ(vorpin_init(), VORPIN_ERR_SLOT_LIST);
  EXPECT_EQ(vorpin_init(), VORPIN_ERR_INITIALIZE);
  EXPECT_EQ(vorpin_check_pin_valid(Pin(), PinLen()), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(vorpin_fini(), VORPIN_OK);
  EXPECT_EQ(vorpin_init(), VORPIN_OK);
}

TEST_F(InitTest, InitFiniInitRepeatsTheSameSteps) {
  AddStandardCard();
  ASSERT_EQ(vorpin_init(), VORPIN_OK);
  const auto first_calls = CallSequence();
  const auto first_messages = Messages();
  ASSERT_EQ(vorpin_fini(), VORPIN_OK);

  emucard_clear_log();
  ClearMessages();
  ASSERT_EQ(vorpin_init(), VORPIN_OK);
  EXPECT_EQ(CallSequence(), first_calls);
  EXPECT_EQ(Messages(), first_messages);
  EXPECT_EQ(vorpin_check_pin_valid(Pin(), PinLen()), VORPIN_OK);
  ExpectSessionDiscipline();
}

// A failed C_Finalize: 260, everything released all the same, and nothing
// afterwards uses the released slot list or function list.
TEST_F(InitTest, FailedFinalizeClearsTheState) {
  AddStandardCard();
  InitReady();
  emucard_fail_nth(EMUCARD_C_Finalize, 1, CKR_DEVICE_ERROR);
  EXPECT_EQ(vorpin_fini(), VORPIN_ERR_FINALIZE);
  EXPECT_THAT(Messages(), ElementsAreArray({kFiniTrying, kFiniFailed}));

  emucard_clear_log();
  ClearMessages();
  unsigned char random[8];
  int32_t len = 0;
  EXPECT_EQ(vorpin_check_pin_valid(Pin(), PinLen()), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(vorpin_getcert_for_sign(nullptr, &len), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(vorpin_gen_session_key(random, sizeof random), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(emucard_call_count(), 0u);

  // Nothing is finalized a second time.
  EXPECT_EQ(vorpin_fini(), VORPIN_OK);
  EXPECT_EQ(emucard_call_count(), 0u);

  // A new start begins from loading the module; this module still holds
  // its Cryptoki state, so it refuses the new C_Initialize.
  EXPECT_EQ(vorpin_init(), VORPIN_ERR_INITIALIZE);
  EXPECT_EQ(Describe(CallSequence()), "C_GetFunctionList C_Initialize");
}

TEST_F(InitTest, InitAfterFailedInitializeRunsEveryStepAgain) {
  AddStandardCard();
  emucard_fail_nth(EMUCARD_C_Initialize, 1, CKR_DEVICE_ERROR);
  ASSERT_EQ(vorpin_init(), VORPIN_ERR_INITIALIZE);
  ClearMessages();
  EXPECT_EQ(vorpin_init(), VORPIN_OK);
  EXPECT_THAT(Messages(), ElementsAreArray(kInitSteps));
  EXPECT_EQ(vorpin_check_pin_valid(Pin(), PinLen()), VORPIN_OK);
}

}  // namespace
}  // namespace emucard_test
