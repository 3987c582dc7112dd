// Stored password hashes and the files created private.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "common/IniFile.h"
#include "common/PasswordHash.h"
#include "common/PrivateFile.h"
#include "support/TempDir.h"

namespace vh {
namespace {

TEST(PasswordHash, VerifiesOnlyThePasswordItWasMadeFrom) {
  const std::string hash = TPasswordHash::Make("correct horse");
  EXPECT_TRUE(TPasswordHash::IsHash(hash));
  EXPECT_TRUE(hash.starts_with("$argon2id$v=19$m=4096,t=2,p=1$")) << hash;
  EXPECT_TRUE(TPasswordHash::Verify(hash, "correct horse"));
  for (const char* wrong : {"correct hors", "Correct horse", "correct horse ", "", "$argon2id$"})
    EXPECT_FALSE(TPasswordHash::Verify(hash, wrong)) << wrong;
  // Salted: the same password never gives the same string.
  EXPECT_NE(TPasswordHash::Make("correct horse"), hash);
  EXPECT_FALSE(TPasswordHash::NeedsRehash(hash));
  // A damaged hash verifies nothing.
  std::string damaged = hash;
  damaged.back() = damaged.back() == 'A' ? 'B' : 'A';
  EXPECT_FALSE(TPasswordHash::Verify(damaged, "correct horse"));
  EXPECT_FALSE(TPasswordHash::Verify(hash.substr(0, 40), "correct horse"));
}

TEST(PasswordHash, PlainTextAndOlderParametersAskForANewHash) {
  // What earlier versions stored: compared as it is, and replaced at the next login.
  EXPECT_FALSE(TPasswordHash::IsHash("k2x9qa"));
  EXPECT_FALSE(TPasswordHash::IsHash("$argon2id$short"));  // fits a login field: typed text
  EXPECT_TRUE(TPasswordHash::NeedsRehash("k2x9qa"));
  EXPECT_TRUE(TPasswordHash::Verify("k2x9qa", "k2x9qa"));
  EXPECT_FALSE(TPasswordHash::Verify("k2x9qa", "k2x9q"));
  EXPECT_FALSE(TPasswordHash::Verify("k2x9qa", "k2x9qab"));
  EXPECT_TRUE(TPasswordHash::Verify("", ""));
  EXPECT_FALSE(TPasswordHash::Verify("", "x"));

  ASSERT_GE(sodium_init(), 0);
  char other[crypto_pwhash_STRBYTES];
  ASSERT_EQ(crypto_pwhash_str_alg(other, "pw", 2, 3, size_t{2} << 20, crypto_pwhash_ALG_ARGON2ID13),
            0);
  EXPECT_TRUE(TPasswordHash::Verify(other, "pw"));
  EXPECT_TRUE(TPasswordHash::NeedsRehash(other));
}

TEST(PasswordHash, OnlyTheFirst29TypedCharactersCount) {
  const std::string typed(40, 'z');
  const std::string hash = TPasswordHash::Make(typed);
  EXPECT_TRUE(TPasswordHash::Verify(hash, typed.substr(0, 29)));
  EXPECT_TRUE(TPasswordHash::Verify(hash, typed + "more"));
  EXPECT_FALSE(TPasswordHash::Verify(hash, typed.substr(0, 28)));
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777;
}

TEST(PrivateFile, NewFilesAreTheOwnersAloneExistingOnesKeepTheirMode) {
  const mode_t umask = ::umask(0);  // the most permissive process
  test::TTempDir dir;
  EXPECT_TRUE(CreatePrivateFileIfMissing(dir.File("db")));
  EXPECT_EQ(ModeOf(dir.File("db")), 0600u);
  FILE* log = OpenPrivateFileForAppend(dir.File("log"));
  ASSERT_TRUE(log);
  std::fclose(log);
  EXPECT_EQ(ModeOf(dir.File("log")), 0600u);
  TIniFile ini;
  ASSERT_TRUE(ini.Load(dir.File("a.ini")));
  EXPECT_EQ(ModeOf(dir.File("a.ini")), 0600u);
  TIniFile fresh;  // saved first, without an earlier file
  ASSERT_TRUE(fresh.Load(dir.File("b.ini")));
  ::unlink(dir.File("b.ini").c_str());
  fresh.WriteString("S", "K", "V");
  ASSERT_TRUE(fresh.Save());
  EXPECT_EQ(ModeOf(dir.File("b.ini")), 0600u);

  // An operator's choice stays.
  for (const char* name : {"db", "log", "a.ini"}) ::chmod(dir.File(name).c_str(), 0640);
  EXPECT_TRUE(CreatePrivateFileIfMissing(dir.File("db")));
  log = OpenPrivateFileForAppend(dir.File("log"));
  ASSERT_TRUE(log);
  std::fclose(log);
  ini.WriteString("S", "K", "V");
  ASSERT_TRUE(ini.Save());
  for (const char* name : {"db", "log", "a.ini"}) EXPECT_EQ(ModeOf(dir.File(name)), 0640u) << name;
  EXPECT_FALSE(CreatePrivateFileIfMissing(dir.File("no/such/dir/db")));
  ::umask(umask);
}

}  // namespace
}  // namespace vh
