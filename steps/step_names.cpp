#include "steps/step_names.h"

namespace steps {

const StepName kStepNames[19] = {
    {"Do200503Before", "2005年3月前：旧版数据库整理，书名与著者拆分"},
    {"Do200503", "2005年3月：志愿者管理，统计表新格式"},
    {"Do200611", "2006年11月：著者号表更正，阅读积分"},
    {"Do200703", "2007年3月：13位书号，出版社表重建"},
    {"Do2007_03_12", "2007年3月12日：读者证号加长到12位"},
    {"Do200709", "2007年9月：图书条码加长到12位"},
    {"Do2007_12_07", "2007年12月7日：书目检索索引调整，读者书架"},
    {"Do2007_12_27", "2007年12月27日：MARC编目"},
    {"Do2008_03_27", "2008年3月27日：图书批次"},
    {"Do2008_09_03", "2008年9月3日：读者荐购"},
    {"Do2008_10_20", "2008年10月20日：罚款明细，荐购读者"},
    {"Do2009_10_15", "2009年10月15日：编目币种，页数列改为文字"},
    {"Do2010_04_09", "2010年4月9日：打印表书号加宽到40位"},
    {"Do2011_09_02", "2011年9月2日：卡系统参数，姓名编码修复"},
    {"Do2015_02_01", "2015年2月1日：好书推荐单，自助图书馆"},
    {"Do2015_03_01", "2015年3月1日：推荐单关键字"},
    {"Do2015_03_12", "2015年3月12日：豆瓣封面链接"},
    {"Do2015_03_25", "2015年3月25日：志愿者奖励"},
    {"Do2017_01_09", "2017年1月9日：读者身份证号"},
};

namespace {

const StepName* Find(std::string_view code) {
  for (const StepName& s : kStepNames)
    if (code == s.code) return &s;
  return nullptr;
}

}  // namespace

std::string StepTitle(std::string_view code) {
  const StepName* s = Find(code);
  return s ? s->title : std::string(code);
}

std::string StepLabel(std::string_view code) {
  const StepName* s = Find(code);
  if (!s) return std::string(code);
  return std::string(s->title) + "（" + s->code + "）";
}

}  // namespace steps
