// vorpin_init when the module file is missing or lacks C_GetFunctionList.
// This program does not link the emulated card: each suite runs as its own
// test entry with the loader's path on a folder without any module
// (NoModule) or on the module file without C_GetFunctionList
// (NoFunctionList).
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "init_messages.h"
#include "test_support.h"
#include "vorpin_dll.h"

namespace {

using ::testing::ElementsAreArray;

const char kFiniTrying[] = "vorpin_fini(): trying to finalize the Cryptoki library...";

bool ModuleLoaded() {
  void* handle = dlopen("aetpkss1.dll", RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Log().Clear();
    Log().Install();
  }
  void TearDown() override {
    vorpin_fini();
    vorpin_test_set_trace_sink(nullptr);
  }
  static test_support::TraceLog& Log() { return test_support::TraceLog::Get(); }
};

// The start fails at the same step every time, and the card operations
// answer 512 in between.
void ExpectStartFailsAgain(int32_t result) {
  int32_t len = 0;
  EXPECT_EQ(vorpin_getcert_for_sign(nullptr, &len), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(vorpin_init(), result);
}

using NoModule = LoaderTest;

TEST_F(NoModule, InitGives256AndFiniHasNothingToRelease) {
  ASSERT_FALSE(ModuleLoaded());
  EXPECT_EQ(vorpin_init(), VORPIN_ERR_LOAD_MODULE);
  EXPECT_THAT(
      Log().messages(),
      ElementsAreArray(InitMessages(
          2, {"vorpin_init(): could NOT load the PKCS#11 library: aetpkss1.dll!", kInitFailed})));
  ExpectStartFailsAgain(VORPIN_ERR_LOAD_MODULE);
  Log().Clear();
  EXPECT_EQ(vorpin_fini(), VORPIN_OK);
  EXPECT_THAT(Log().messages(), ElementsAreArray({kFiniTrying}));
}

using NoFunctionList = LoaderTest;

TEST_F(NoFunctionList, InitGives257AndTheModuleStaysLoadedUntilFini) {
  ASSERT_FALSE(ModuleLoaded());
  EXPECT_EQ(vorpin_init(), VORPIN_ERR_NO_GET_FUNCTION_LIST);
  EXPECT_THAT(Log().messages(),
              ElementsAreArray(InitMessages(
                  4, {"vorpin_init(): failed to get the function address of C_GetFunctionList!",
                      kInitFailed})));
  EXPECT_TRUE(ModuleLoaded());
  Log().Clear();
  EXPECT_EQ(vorpin_fini(), VORPIN_OK);
  EXPECT_THAT(Log().messages(), ElementsAreArray({kFiniTrying}));
  EXPECT_FALSE(ModuleLoaded());

  ExpectStartFailsAgain(VORPIN_ERR_NO_GET_FUNCTION_LIST);
}

}  // namespace
