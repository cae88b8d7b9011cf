// Good-book recommendation lists and the self-service library: menu rows 902
// and 903, the self-service parameter and announcement tables, pictures of
// catalogue records, and the lists lib_goodbookitem with every existing
// recommendation of lib_goodbooksave moved into the list named by its title.
#include <string>

#include "steps/upgrader.h"
#include "text/gbk.h"
#include "text/sql_text.h"

namespace steps {

void Upgrader::Do2015_02_01() {
  SetProcess("馆藏好书推荐");
  view.ProcessMessages();

  if (!CheckVerSign("ZZ20150201.GOODBOOK")) return;
  if (!ColumnAbsent("lib_goodbooksave", "gs_item")) return;

  Exec({G("INSERT INTO lib_gongneng VALUES(902,'自助图书馆参数')")});
  Exec({"insert into lib_right values('system',902)"});
  Exec({G("INSERT INTO lib_gongneng VALUES(903,'公告管理')")});
  Exec({"insert into lib_right values('system',903)"});

  Exec({"create table lib_self_para(", "  sp_key char(32) NOT NULL,",
        "  sp_value varchar(256) default(''))"});
  Exec(
      {"ALTER TABLE lib_self_para ADD CONSTRAINT PK_lib_self_para PRIMARY KEY "
       "NONCLUSTERED(sp_key)"});

  Exec({"create table lib_self_gonggao(", "  sg_id int NOT NULL IDENTITY (1, 1),",
        "  sg_title varchar(128) default(''),", "  sg_url varchar(128) default(''),",
        "  sg_date datetime default(getdate()),", "  sg_user char(6) default(''),",
        "  sg_mess text default(''))"});
  Exec(
      {"ALTER TABLE lib_self_gonggao ADD CONSTRAINT PK_lib_self_gonggao PRIMARY KEY "
       "NONCLUSTERED(sg_id)"});

  Exec({"alter table lib_goodbooksave add gs_item int default(1)"});
  Exec({"alter table lib_goodbooksave add gs_hits int default(1)"});
  Exec({"update lib_goodbooksave set gs_hits=1"});

  Exec({"create table lib_bianma_pic(", "  bp_code int not null,", "  bp_images image,",
        "  bp_imagel image)"});
  Exec(
      {"ALTER TABLE lib_bianma_pic ADD CONSTRAINT PK_lib_bianma_pic PRIMARY KEY "
       "NONCLUSTERED(bp_code)"});

  Exec({"create table lib_goodbookitem(", "  bi_id int NOT NULL IDENTITY (1, 1),",
        "  bi_title varchar(128) default(''),", "  bi_hits int default(0),",
        "  bi_date datetime default(getdate()),", "  bi_text text default(''),",
        "  bi_images image,", "  bi_imagel image)"});
  Exec(
      {"ALTER TABLE lib_goodbookitem ADD CONSTRAINT PK_lib_goodbookitem PRIMARY KEY "
       "NONCLUSTERED(bi_id)"});
  Exec(
      {G("insert into lib_goodbookitem(bi_title,bi_hits,bi_date)values('自助图书馆推荐',0,"
         "GETDATE())")});

  // One list per distinct title. The char(128) title is stored in the
  // varchar list title without its padding; titles are quoted with their
  // apostrophes doubled, so a title such as "Don't" makes a list too.
  db::OpenQuery(qrTmp, {G("select gs_title from lib_goodbooksave where gs_title<>'自助图书馆推荐' "
                          "and gs_title<>'' group by gs_title")});
  while (!qrTmp.Eof()) {
    Exec(qrTmp1,
         {"insert into lib_goodbookitem(bi_title,bi_hits,bi_date)values('" +
          text::EscapeQuotes(text::TrimRight(qrTmp.AsString("gs_title"))) + "',0,GETDATE())"});
    qrTmp.Next();
  }
  qrTmp.Close();

  Exec({"update lib_goodbooksave set gs_item=0"});

  db::OpenQuery(qrTmp, {"select bi_id,bi_title from lib_goodbookitem"});
  while (!qrTmp.Eof()) {
    Exec(qrTmp1, {"update lib_goodbooksave set gs_item=" + qrTmp.AsString("bi_id"),
                  "where gs_title='" + text::EscapeQuotes(qrTmp.AsString("bi_title")) + "'"});
    qrTmp.Next();
  }
  qrTmp.Close();
}

}  // namespace steps
