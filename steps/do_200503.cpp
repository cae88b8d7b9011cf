// The March 2005 release: volunteer management (duty records, duty kinds,
// volunteer summary, evaluation criteria), reservation indexes, the monthly
// statistics tables in their new layout, two reader-category columns, and the
// tables for the terminal number, cancellation notes, stock-taking, the
// purchase list, label fonts and the text on the back of the reader card.
//
// The step carries no upgrade sign: it runs in full on every run and each
// change stands behind its own catalogue probe. It is also where a database
// older than this release gets the pre-2005 consolidation started for it.
#include <string>
#include <utility>
#include <vector>

#include "steps/upgrader.h"
#include "text/gbk.h"
#include "text/sql_text.h"

namespace steps {

namespace {

using Columns = std::vector<std::pair<std::string, std::string>>;

// "create table NAME ( " / one line per column / closing line; UTF-8 in,
// GBK out.
std::vector<std::string> CreateTable(const std::string& first, const Columns& columns,
                                     const std::string& close) {
  std::vector<std::string> lines{first};
  for (std::size_t i = 0; i < columns.size(); ++i) {
    lines.push_back(
        G("  " + columns[i].first + " " + columns[i].second + (i + 1 < columns.size() ? "," : "")));
  }
  lines.push_back(close);
  return lines;
}

std::vector<std::string> PrimaryKey(const std::string& table, const std::string& column) {
  return {"ALTER TABLE " + table + " ADD CONSTRAINT ", "PK_" + table + " PRIMARY KEY NONCLUSTERED",
          "(" + column + ")"};
}

// The evaluation criteria every library starts with.
const std::pair<int, const char*> kEvaluationSeeds[] = {
    {0, "基本评价分"}, {1, "准时到岗"},   {2, "主动负责"},
    {3, "有创造性"},   {4, "积极提建议"}, {5, "富有团体精神"},
};

void SeedEvaluations(Upgrader& u) {
  for (const auto& [no, text] : kEvaluationSeeds) {
    u.Exec({G("insert into lib_yigongpj(yp_no,yp_pingjia,yp_fen) values(" + std::to_string(no) +
              ", '" + text + "'," + (no == 0 ? "50" : "10") + ") ")});
  }
}

// Printed on the back of a new reader card until the library writes its own.
std::string ReaderNotice() {
  const char* const pieces[] = {
      "1、本证仅限领证人使用，不得转借。",
      "2、使用本证必须遵守本馆的有关章程及规定。",
      "3、进入书库选阅书刊时，请自觉使用“代书板”，防止图",
      "   书乱架。",
      "4、借出书刊请依期归还，以方便他人借阅。",
      "5、请爱护书籍，人人争当文明读者。",
      "6、本证需妥善保管，保持平整，请勿折叠。如有遗失应及",
      "   时向本馆报失，以领取新的借书证。在失证期间由此引",
      "   起的失书后果，由领证人负责。",
  };
  std::string notice;
  for (std::size_t i = 0; i < std::size(pieces); ++i) {
    notice += pieces[i];
    if (i + 1 < std::size(pieces)) notice += "\r\n";
  }
  return notice;
}

// The layout of lib_prttab3a: year, month, one counter per initial letter.
Columns Prttab3aColumns() {
  Columns c{{"p3_year", "numeric(4,0) default(0) not null"},
            {"p3_month", "numeric(2,0) default(0) not null"}};
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    c.push_back({std::string("p3_") + letter, "numeric(6,0) default(0)"});
  }
  c.push_back({"p3_total", "numeric(6,0) default(0)"});
  c.push_back({"p3_user", "char(6) default('')"});
  return c;
}

Columns Prttab4anewColumns() {
  Columns c{{"p4_id", "numeric(2,0) not null"}, {"p4_dzlx", "char(10) default('')"}};
  for (int i = 1; i <= 14; ++i) {
    c.push_back({"p4_" + std::to_string(i), "numeric(6,0) default(0)"});
  }
  c.push_back({"p4_total", "numeric(6,0) default(0)"});
  c.push_back({"p4_user", "char(6) default('')"});
  return c;
}

}  // namespace

void Upgrader::Do200503() {
  auto announce = [this](std::string_view task) {
    SetProcess(task);
    view.Repaint();
    view.ProcessMessages();
  };

  // A database without dz_tuijian predates the consolidation.
  if (ColumnAbsent("lib_duzhe", "dz_tuijian")) {
    view.SetBeforeChecked(true);
    // Part of this step's unit of work; the statement log names it apart.
    current_step_ = "Do200503Before";
    Do200503Before();
    current_step_ = "Do200503";
  }

  announce("义工管理");
  if (TableAbsent("lib_yigonggl")) {
    Exec(CreateTable("create table lib_yigonggl ( ",
                     {{"yg_no", "int NOT NULL IDENTITY (1, 1)"},
                      {"yg_libcard", "char(9) not null"},
                      {"yg_bdate", "datetime default(getdate()) not null"},
                      {"yg_edate", "datetime default(getdate()) not null"},
                      {"yg_sign", "int default(0)"},
                      {"yg_dowork", "char(128) default('')"}},
                     ") "));
    Exec(PrimaryKey("lib_yigonggl", "yg_no"));
    Exec(CreateTable("create table lib_yigongld ( ",
                     {{"yl_no", "int NOT NULL IDENTITY (1, 1)"},
                      {"yl_order", "int default(0)"},
                      {"yl_dowork", "char(128) not null"}},
                     ") "));
    Exec(PrimaryKey("lib_yigongld", "yl_no"));
    const std::pair<int, const char*> duties[] = {
        {0, "值勤"}, {1, "开架书库排架"}, {2, "阅览室排架"}, {3, "清洁"}, {99, "其他"}};
    for (const auto& [order, duty] : duties) {
      Exec({G("insert into lib_yigongld(yl_order,yl_dowork) values(" + std::to_string(order) +
              ", '" + duty + "') ")});
    }
  }

  if (TableAbsent("lib_yigongorder")) {
    Exec(CreateTable("create table lib_yigongorder ( ",
                     {{"yo_libcard", "char(9) not null"},
                      {"yo_name", "char(20) not null"},
                      {"yo_number", "int default(0)"},
                      {"yo_time", "int default(0)"},
                      {"yo_fen", "int default(0)"}},
                     ") "));
  }
  if (ColumnAbsent("lib_yigongorder", "yo_fen")) {
    Exec({"alter table lib_yigongorder add yo_fen int default(0)"});
  }
  if (ColumnAbsent("lib_yigongorder", "yo_deptment")) {
    Exec({"alter table lib_yigongorder add yo_deptment char(40) default('')"});
  }
  if (ColumnAbsent("lib_yigonggl", "yg_pingjia")) {
    Exec({"alter table lib_yigonggl add yg_pingjia int default(0)"});
    Exec({"alter table lib_yigonggl add yg_pjuser char(28) default('')"});
    Exec({"update lib_yigonggl set yg_pingjia=0,yg_pjuser=''"});
  }

  // Until now yg_pingjia held the number of an evaluation criterion; from
  // here on it holds the points, and the criterion's text moves to yg_notice.
  if (ColumnAbsent("lib_yigonggl", "yg_notice")) {
    Exec({"alter table lib_yigonggl add yg_notice char(128) default('')"});
    db::OpenQuery(qrTmp, {"select yg_no,yg_pingjia from lib_yigonggl"});
    while (!qrTmp.Eof()) {
      view.ProcessMessages();
      const std::int64_t criterion = qrTmp.AsInteger("yg_pingjia");
      db::OpenQuery(qrTmp1, {"select yp_fen,yp_pingjia from lib_yigongpj",
                             "where yp_no=" + std::to_string(criterion)});
      std::int64_t points = 0;
      std::string note;
      if (!qrTmp1.Eof()) {
        points = qrTmp1.AsInteger("yp_fen");
        note = text::Trim(qrTmp1.AsString("yp_pingjia"));
      }
      qrTmp1.Close();
      // A criterion text may hold a quote; doubled, it cannot end the literal.
      Exec(qrTmp1, {"update lib_yigonggl set ", " yg_pingjia=" + std::to_string(points),
                    ",yg_notice='" + text::EscapeQuotes(note) + "'",
                    "where  yg_no=" + std::to_string(qrTmp.AsInteger("yg_no"))});
      qrTmp.Next();
    }
    qrTmp.Close();
  }

  if (TableAbsent("lib_yigongpj")) {
    Exec(CreateTable("create table lib_yigongpj ( ",
                     {{"yp_no", "int NOT NULL"},
                      {"yp_pingjia", "char(20) not null"},
                      {"yp_fen", "int default(0)"}},
                     ") "));
    Exec(PrimaryKey("lib_yigongpj", "yp_no"));
    SeedEvaluations(*this);
  }
  db::OpenQuery(
      qrTmp, {G("select yp_pingjia from lib_yigongpj where yp_no=0 and yp_pingjia='基本评价分'")});
  const bool basic_missing = qrTmp.Eof();
  qrTmp.Close();
  if (basic_missing) {
    Exec({"delete from lib_yigongpj"});
    SeedEvaluations(*this);
  }

  // Probed like the other menu rows: lib_gongneng need not have a key on
  // gn_menucode, and an unprobed insert would add one more row 304 on every
  // run, each a duplicate entry in the client's menu.
  if (MenuAbsent(304)) Tolerate({G("INSERT INTO lib_gongneng VALUES(304,'借还书(无罚款)')")});
  // Its text is set on every run; rows that hold it already are left alone,
  // so that a run on an upgraded database changes nothing.
  Tolerate({G("update lib_gongneng set gn_menuitem='借还书(无罚款)' where gn_menucode=304 "
              "and (gn_menuitem is null or gn_menuitem<>'借还书(无罚款)')")});
  if (MenuAbsent(391)) Tolerate({G("INSERT INTO lib_gongneng VALUES(391,'义工管理')")});
  if (MenuAbsent(392)) Tolerate({G("INSERT INTO lib_gongneng VALUES(392,'义工签到')")});

  announce("增加有关索引");
  if (IndexAbsent("PK_lib_yuyue_pid")) {
    Exec({"create index PK_lib_yuyue_pid on lib_yuyue(yy_pid) WITH PAD_INDEX,FILLFACTOR=85"});
  }
  if (IndexAbsent("PK_lib_yuyue_code")) {
    Exec({"create index PK_lib_yuyue_code on lib_yuyue(yy_code) WITH PAD_INDEX,FILLFACTOR=85"});
  }

  // Statistics tables of an older layout are replaced, with their contents.
  if (ColumnAbsent("lib_prttab3a", "p3_year")) {
    Exec(qrTmp1, {"drop table lib_prttab3a"});
    Exec(qrTmp1, CreateTable("create table lib_prttab3a ( ", Prttab3aColumns(), ")"));
  }
  if (ColumnAbsent("lib_prttab2a", "p2_year")) {
    Exec(qrTmp1, {"drop table lib_prttab2a"});
    Exec(qrTmp1, CreateTable("create table lib_prttab2a ( ",
                             {{"p2_year", "numeric(4,0) default(0) not null"},
                              {"p2_month", "numeric(2,0) default(0) not null"},
                              {"p2_lentnum", "numeric(6,0) default(0)"},
                              {"p2_backnum", "numeric(6,0) default(0)"},
                              {"p2_leftnum", "numeric(6,0) default(0)"},
                              {"p2_fineamt", "numeric(12,2) default(0.00)"},
                              {"p2_peopnum", "numeric(6,0) default(0)"},
                              {"p2_lostnum", "numeric(6,0) default(0)"},
                              {"p2_user", "char(6) default('')"}},
                             ")"));
  }
  if (ColumnAbsent("lib_prttab4anew", "p4_13")) {
    Exec(qrTmp1, {"drop table lib_prttab4anew"});
    Exec(qrTmp1, CreateTable("create table lib_prttab4anew ( ", Prttab4anewColumns(), ")"));
  }

  if (ColumnAbsent("lib_duzhe", "dz_yuqitimes")) {
    Exec({"alter table lib_duzhe add dz_yuqitimes numeric(5,1) default(1)"});
    Exec({"update lib_duzhe set dz_yuqitimes=1"});
  }
  if (ColumnAbsent("lib_duzhe", "dz_cunfang")) {
    Exec({"alter table lib_duzhe add dz_cunfang char(256) default('0')"});
    Exec({"update lib_duzhe set dz_cunfang='0'"});
  }

  if (TableAbsent("lib_curtermno")) {
    Exec(CreateTable("create table lib_curtermno ( ",
                     {{"ct_termno", "char(8) not null"}, {"ct_date", "char(10) not null"}}, ") "));
    Exec({"insert into lib_curtermno values('','') "});
  }
  if (TableAbsent("lib_zhuxiaoinfo")) {
    Exec(CreateTable("create table lib_zhuxiaoinfo ( ",
                     {{"zi_barcode", "char(9) not null"},
                      {"zi_mark", "char(1) default('')"},
                      {"zi_info", "char(80) default('')"}},
                     ") "));
  }
  if (MenuAbsent(381)) Tolerate({G("INSERT INTO lib_gongneng VALUES(381,'库藏图书盘点')")});

  if (TableAbsent("lib_pandianbook")) {
    Exec(CreateTable("create table lib_pandianbook ( ",
                     {{"pd_barcode", "char(9) not null"},
                      {"pd_date", "datetime default(getdate()) not null"},
                      {"pd_user", "char(6) default('')"}},
                     ") "));
    Exec(PrimaryKey("lib_pandianbook", "pd_barcode"));
  }
  if (TableAbsent("lib_pandianbooktj")) {
    Columns c{{"pt_name", "char(8) not null"}};
    for (int i = 1; i <= 5; ++i) {
      c.push_back({"pt_num" + std::to_string(i), "int default(0)"});
      c.push_back({"pt_amt" + std::to_string(i), "numeric(15,2) default(0.00)"});
    }
    c.push_back({"pt_user", "char(6) default('')"});
    Exec(CreateTable("create table lib_pandianbooktj ( ", c, ") "));
  }
  if (TableAbsent("lib_cgshumu")) {
    Exec(CreateTable("create table lib_cgshumu ( ",
                     {{"cs_code", "int NOT NULL IDENTITY (1, 1)"},
                      {"cs_bookid", "char(22) default('')"},
                      {"cs_name", "char(80) default('')"},
                      {"cs_author", "char(46) default('')"},
                      {"cs_publish", "char(30) default('')"},
                      {"cs_price", "numeric(7,2) default(0)"},
                      {"cs_number", "int default(0)"}},
                     ") "));
  }
  if (MenuAbsent(299)) Tolerate({G("INSERT INTO lib_gongneng VALUES(299,'好书推荐管理')")});
  if (MenuAbsent(901)) Tolerate({G("INSERT INTO lib_gongneng VALUES(901,'一卡通参数配置')")});

  if (TableAbsent("lib_biaoqianfont")) {
    Exec(CreateTable("create table lib_biaoqianfont ( ",
                     {{"bq_sign", "int default(0)"},
                      {"bq_font1", "char(32) default('Arial')"},
                      {"bq_size1", "int default(14)"},
                      {"bq_bold1", "int default(1)"},
                      {"bq_font2", "char(32) default('宋体')"},
                      {"bq_size2", "int default(14)"},
                      {"bq_bold2", "int default(1)"},
                      {"bq_font3", "char(32) default('宋体')"},
                      {"bq_size3", "int default(14)"},
                      {"bq_bold3", "int default(1)"}},
                     ") "));
    Exec({"insert into lib_biaoqianfont(bq_sign) values(0)"});
  }

  // The card-back print table comes only with a new notice table.
  if (TableAbsent("lib_zhengbackmess")) {
    Exec(CreateTable("create table lib_zhengbackmess ( ",
                     {{"zb_title", "char(32) default('读者须知')"},
                      {"zb_font1", "char(32) default('黑体')"},
                      {"zb_size1", "int default(12)"},
                      {"zb_bold1", "int default(0)"},
                      {"zb_mess", "text default('')"},
                      {"zb_font2", "char(32) default('宋体')"},
                      {"zb_size2", "int default(9)"},
                      {"zb_bold2", "int default(0)"}},
                     ") "));
    Exec({G("insert into lib_zhengbackmess (zb_title,zb_mess) values('读者须知','" +
            ReaderNotice() + "')")});
    Exec(CreateTable("create table lib_zhengbackprt( ", {{"zb_num", "int default(0)"}}, ") "));
  }
}

}  // namespace steps
