// The catalogue's combined search indexes replaced by single-column ones, and
// the reader bookshelf table.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "steps/upgrader.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::Rows;
using testing_support::Scalar;
using Lines = std::vector<std::string>;

struct At2007_03 : testing_support::StepRig {
  At2007_03() : StepRig({"release_2007_03.sql"}) {}
  // The catalogue's indexes named PK_lib_bianma_*, in name order.
  Lines CatalogueIndexes() {
    return Rows(
        "select i.name from sysindexes i, sysobjects o where o.id=i.id and "
        "o.name='lib_bianma' and i.name like 'PK_lib_bianma_%' order by i.name");
  }
};

// The fixture's single-column indexes that the step leaves alone.
const Lines kOthers = {"PK_lib_bianma_bookid", "PK_lib_bianma_bookno",   "PK_lib_bianma_name",
                       "PK_lib_bianma_namefu", "PK_lib_bianma_namefupy", "PK_lib_bianma_namepy"};

Lines With(Lines names, const Lines& more = kOthers) {
  names.insert(names.end(), more.begin(), more.end());
  std::sort(names.begin(), names.end());
  return names;
}

const Lines kSingleColumn =
    With({"PK_lib_bianma_allclass", "PK_lib_bianma_author", "PK_lib_bianma_authorpy",
          "PK_lib_bianma_authorsec", "PK_lib_bianma_authorsecpy", "PK_lib_bianma_date",
          "PK_lib_bianma_serious", "PK_lib_bianma_seriouspy"});

TEST(Do2007_12_07, ReplacesCombinedIndexesAndCreatesTheBookshelfOnce) {
  At2007_03 d;
  d.up.Do2007_12_07();

  // The combined indexes are gone; the fixture's single-column ones stay.
  EXPECT_EQ(d.CatalogueIndexes(), kSingleColumn);

  EXPECT_EQ(
      Rows(*d.c,
           "select c.name, c.length from syscolumns c, sysobjects o "
           "where o.name='lib_self_book' and c.id=o.id order by c.colid"),
      (Lines{"sb_id|4", "sb_name|162", "sb_url|162", "sb_date|8", "sb_sign|4", "sb_user|12"}));
  EXPECT_EQ(Scalar(*d.c, "select xtype from sysobjects where name='PK_lib_self_book'"), "PK");
  Rows(*d.c, "insert into lib_self_book(sb_name,sb_user) values('三体','000000000101')");
  Rows(*d.c, "insert into lib_self_book(sb_name,sb_user) values('草房子','000000000101')");
  EXPECT_EQ(Rows(*d.c, "select sb_id,sb_name,sb_sign from lib_self_book order by sb_id"),
            (Lines{"1|三体|0", "2|草房子|0"}));

  EXPECT_EQ(d.view.Only("bar "), (Lines{"visible", "5", "50"}));
  EXPECT_EQ(d.view.Only("process "), (Lines{"处理：增加索引", "处理：读者书架"}));

  d.sent.clear();
  d.view.events.clear();
  d.up.Do2007_12_07();
  EXPECT_EQ(d.sent, Lines{"select vm_mess from ver_manage\nwhere vm_mess='ZZ20071207.SELF_BOOK'"});
  EXPECT_TRUE(d.view.events.empty());
}

TEST(Do2007_12_07, MissingCombinedIndexEndsTheRunAtItsDrop) {
  struct Case {
    const char* missing;
    Lines left;  // the catalogue's PK_lib_bianma_* indexes after the failure
  };
  const std::vector<Case> cases = {
      // Nothing has changed yet when the first drop fails.
      {"PK_lib_bianma_nameall",
       With({"PK_lib_bianma_authorall", "PK_lib_bianma_authorallpy", "PK_lib_bianma_nameallpy"})},
      // The two name indexes are already dropped; no new index exists yet.
      {"PK_lib_bianma_authorall", With({"PK_lib_bianma_authorallpy"})},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.missing);
    At2007_03 d;
    Rows(*d.c, std::string("DROP Index lib_bianma.") + k.missing);
    EXPECT_THROW(d.up.Do2007_12_07(), db::Error);
    EXPECT_EQ(d.CatalogueIndexes(), k.left);
    EXPECT_EQ(Scalar(*d.c, "select count(*) from sysobjects where name='lib_self_book'"), "0");
    // The sign is recorded: a later run does not try again.
    d.up.Do2007_12_07();
    EXPECT_EQ(Scalar(*d.c, "select count(*) from sysobjects where name='lib_self_book'"), "0");
  }
}

TEST(Do2007_12_07, ExistingAuthorIndexKeepsTheCombinedIndexesButStillMakesTheBookshelf) {
  At2007_03 d;
  Rows(*d.c, "create index PK_lib_bianma_author on lib_bianma(bm_author)");
  d.up.Do2007_12_07();
  EXPECT_EQ(d.CatalogueIndexes(),
            With({"PK_lib_bianma_author", "PK_lib_bianma_authorall", "PK_lib_bianma_authorallpy",
                  "PK_lib_bianma_nameall", "PK_lib_bianma_nameallpy"}));
  EXPECT_EQ(Scalar(*d.c, "select xtype from sysobjects where name='lib_self_book'"), "U");
  EXPECT_EQ(d.view.Only("process "), Lines{"处理：读者书架"});
}

TEST(Do2007_12_07, ExistingBookshelfIsLeftAsItIs) {
  At2007_03 d;
  Rows(*d.c, "create table lib_self_book(sb_id int, sb_name char(40))");
  Rows(*d.c, "insert into lib_self_book values(7,'旧书架')");
  d.up.Do2007_12_07();
  EXPECT_EQ(Rows(*d.c, "select * from lib_self_book"), Lines{"7|旧书架"});
  EXPECT_EQ(Scalar(*d.c, "select count(*) from sysobjects where name='PK_lib_self_book'"), "0");
  EXPECT_EQ(d.CatalogueIndexes(), kSingleColumn);
}

}  // namespace
