// Upgrade step of 7 December 2007: the catalogue's two-column search indexes
// give way to single-column indexes on the author, secondary-author, series,
// date and full-classification columns, and the reader bookshelf lib_self_book
// is created.
#include "steps/upgrader.h"

namespace steps {
namespace {

// The combined indexes the pre-2005 consolidation made, dropped in this order.
constexpr const char* kCombinedIndexes[] = {
    "PK_lib_bianma_nameall",
    "PK_lib_bianma_nameallpy",
    "PK_lib_bianma_authorall",
    "PK_lib_bianma_authorallpy",
};

// The single-column indexes that replace them, created in this order.
constexpr const char* kSingleColumns[] = {
    "author", "authorpy", "authorsec", "authorsecpy", "serious", "seriouspy", "date", "allclass",
};

}  // namespace

void Upgrader::Do2007_12_07() {
  if (!CheckVerSign("ZZ20071207.SELF_BOOK")) return;

  view.SetBarVisible(true);
  view.SetBarPosition(5);
  if (IndexAbsent("PK_lib_bianma_author")) {
    SetProcess("增加索引");
    view.ProcessMessages();
    for (const char* index : kCombinedIndexes)
      Exec({std::string("DROP Index lib_bianma.") + index});
    for (const char* column : kSingleColumns) {
      const std::string c = column;
      Exec({"create index PK_lib_bianma_" + c + " on lib_bianma(bm_" + c +
            ") with PAD_INDEX, FILLFACTOR = 85"});
    }
  }
  view.SetBarPosition(50);

  if (TableAbsent("lib_self_book")) {
    SetProcess("读者书架");
    view.ProcessMessages();
    Exec({
        "create table lib_self_book(",
        "  sb_id int NOT NULL IDENTITY (1, 1),",
        "  sb_name char(162) default(''),",
        "  sb_url char(162) default(''),",
        "  sb_date datetime default(getdate()),",
        "  sb_sign int default(0),",
        "  sb_user char(12) default(''))",
    });
    Exec(
        {"ALTER TABLE lib_self_book ADD CONSTRAINT PK_lib_self_book PRIMARY KEY "
         "NONCLUSTERED(sb_id)"});
  }
  // The bar stays visible at 50; the next step sets it again.
}

}  // namespace steps
