// The November 2006 release: corrections of the author-number tables, the
// menu function for reading points, and the five tables of the reading-points
// scheme.
//
// No upgrade sign: the corrections are repeated on every run (setting the
// same codes again changes nothing), the tables stand behind one table probe.
#include <string>
#include <utility>
#include <vector>

#include "steps/upgrader.h"

namespace steps {

namespace {

using Columns = std::vector<std::pair<std::string, std::string>>;

std::vector<std::string> CreateTable(const std::string& table, const Columns& columns) {
  std::vector<std::string> lines{"create table " + table + " ( "};
  for (std::size_t i = 0; i < columns.size(); ++i) {
    lines.push_back(
        G("  " + columns[i].first + " " + columns[i].second + (i + 1 < columns.size() ? "," : "")));
  }
  lines.push_back(") ");
  return lines;
}

std::vector<std::string> PrimaryKey(const std::string& table, const std::string& column) {
  return {"ALTER TABLE " + table + " ADD CONSTRAINT ", "PK_" + table + " PRIMARY KEY NONCLUSTERED",
          "(" + column + ")"};
}

}  // namespace

void Upgrader::Do200611() {
  // Four corrections of the author numbers, made on every run. Each skips
  // what an earlier run has put in place already, so that a run on an
  // upgraded database changes nothing: the row is inserted only when it is
  // not there (an insert the table refuses, or a missing table, is passed
  // over as before), and the updates leave rows holding the new code.
  db::Tolerate(qrTmp, [&] {
    db::OpenQuery(qrTmp, {G("select zz_zhuzhe from lib_zzm_old where zz_zhuzhe='牛' and "
                            "zz_code='N47'")});
    const bool absent = qrTmp.Eof();
    qrTmp.Close();
    if (absent) Exec({G("INSERT INTO lib_zzm_old VALUES('牛','N47')")});
  });
  Exec({G("update lib_zzm_old set zz_code='B45' where zz_zhuzhe='贝' and "
          "(zz_code is null or zz_code<>'B45')")});
  Exec({G("update lib_zzm_zst set zz_code='P11' where zz_zhuzhe='扒' and "
          "(zz_code is null or zz_code<>'P11')")});
  // These fifteen characters are read with a B: keep the digits, swap the letter.
  Exec({"update lib_zzm_zst set zz_code='B'+substring(zz_code,2,2)",
        G("where zz_zhuzhe in('八','巴','拔','跋','把',"),
        G("'白','稗','坝','罢','霸','百','柏','摆','败','拜')"),
        "and zz_code<>'B'+substring(zz_code,2,2)"});

  if (MenuAbsent(395)) Tolerate({G("INSERT INTO lib_gongneng VALUES(395,'读书积分管理')")});

  if (!TableAbsent("lib_jifen_info")) return;

  Exec(CreateTable("lib_jifen_info", {{"jf_no", "int NOT NULL IDENTITY (1, 1)"},
                                      {"jf_libcard", "char(9) not null"},
                                      {"jf_bdate", "datetime default(getdate()) not null"},
                                      {"jf_edate", "datetime default(getdate()) not null"},
                                      {"jf_sign", "int default(0)"},
                                      {"jf_from", "int default(0)"},
                                      {"jf_fenzhi", "int default(0)"},
                                      {"jf_name", "char(80) default('')"}}));
  Exec(PrimaryKey("lib_jifen_info", "jf_no"));

  Exec(CreateTable("lib_jifen_name", {{"jl_no", "int NOT NULL IDENTITY (1, 1)"},
                                      {"jl_name", "char(80) not null"},
                                      {"jl_sign", "int default(0)"},
                                      {"jl_fenzhi", "int default(0)"}}));
  Exec(PrimaryKey("lib_jifen_name", "jl_no"));
  for (const char* name : {"", "读书讲座", "捐赠图书", "二手书交换"}) {
    Exec({G(std::string("insert into lib_jifen_name(jl_name,jl_sign,jl_fenzhi) values('") + name +
            "',1,10) ")});
  }

  Exec(CreateTable("lib_jifen_www", {{"jw_no", "int NOT NULL IDENTITY (1, 1)"},
                                     {"jw_jifen", "int default(0)"},
                                     {"jw_sign", "int default(0)"},
                                     {"jw_fenzhi", "int default(0)"}}));
  Exec(PrimaryKey("lib_jifen_www", "jw_no"));
  Exec({"insert into lib_jifen_www(jw_jifen,jw_sign,jw_fenzhi) values(0,0,1) "});

  Exec(CreateTable("lib_jifen_total", {{"jt_no", "int default(0)"},
                                       {"jt_libcard", "char(9) not null"},
                                       {"jt_libname", "char(8) not null"},
                                       {"jt_libdept", "char(40) not null"},
                                       {"jt_bdate", "datetime default(getdate()) not null"},
                                       {"jt_edate", "datetime default(getdate()) not null"},
                                       {"jt_sign", "int default(0)"},
                                       {"jt_fenzhi", "int default(0)"},
                                       {"jt_zong_1", "int default(0)"},
                                       {"jt_zong_2", "int default(0)"},
                                       {"jt_zong_3", "int default(0)"},
                                       {"jt_zong_4", "int default(0)"},
                                       {"jt_name", "char(80) default('')"},
                                       {"jt_user", "char(6) default('')"}}));

  Columns xf;
  for (int i = 0; i <= 9; ++i)
    xf.push_back({"jx_name" + std::to_string(i), "char(80) default('')"});
  Exec(CreateTable("lib_jifen_xf", xf));
  Exec({G("insert into lib_jifen_xf(jx_name0) values('交换二手图书') ")});
}

}  // namespace steps
