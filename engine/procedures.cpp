// Stored procedures: EXEC of a procedure the database holds, and the call of
// one by name that a server's remote procedure calls use.
//
// A procedure is kept as the text of its CREATE PROCEDURE statement and
// parsed when it first runs (again after ALTER PROCEDURE changes the text).
// EXEC binds the arguments to the parameters, then runs the body's
// statements as the batch's own: each takes its own turn, its result or
// error joins the batch's in order, and an error that ends a batch ends the
// whole batch, the callers included, as on SQL Server. The body has
// variables of its own: its parameters, then what it declares. OUTPUT
// parameters are copied back to the caller's variables when the procedure
// ends, and RETURN's value (0 without one) is its return status.
#include "engine/session_internal.h"
#include "engine/temp_tables.h"

namespace engine {

namespace {

constexpr int kMaxNesting = 32;

// SQL Server's name of a value's type in conversion messages.
std::string SourceType(const Value& v) {
  switch (v.kind) {
    case Kind::Int:
      return "int";
    case Kind::Num:
      return "numeric";
    case Kind::Date:
      return "datetime";
    case Kind::Float:
      return "float";
    case Kind::Bin:
      return "varbinary";
    default:
      return "varchar";
  }
}

// An argument's value as its parameter holds it. A string too long for a
// string parameter is cut to its length without an error, as SQL Server
// passes parameters; a value that does not convert gives 8114.
Value AsParameter(const Value& v, const TypeSpec& t) {
  if (v.null()) return v;
  try {
    if (v.kind == Kind::Str && t.is_string()) return CastTo(v, t);
    return ConvertTo(v, t);
  } catch (const Error& e) {
    if (e.number() != 245 && e.number() != 8114 && e.number() != 8115) throw;
    throw SqlError(8114, "Error converting data type " + SourceType(v) + " to " + TypeName(t) + ".");
  }
}

// Hex digits (0x optional) as bytes; false when they are not hex.
bool HexBytes(std::string_view h, std::string* out) {
  if (h.size() >= 2 && h[0] == '0' && (h[1] == 'x' || h[1] == 'X')) h.remove_prefix(2);
  if (h.size() % 2) return false;
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < h.size(); i += 2) {
    const int a = digit(h[i]), b = digit(h[i + 1]);
    if (a < 0 || b < 0) return false;
    out->push_back(static_cast<char>(a * 16 + b));
  }
  return true;
}

}  // namespace

bool Session::IsProcedureCall(const Stmt& s) {
  if (s.k != Stmt::Exec) return false;
  const std::string n = VariableKey(s.name);
  return n != "sp_getapplock" && n != "sp_releaseapplock";
}

std::shared_ptr<const Stmt> Session::ProcedureBody(const Object& o) {
  auto it = procedures_.find(o.id);
  if (it != procedures_.end() && it->second.first == o.text) return it->second.second;
  // The text is kept without #table suffixes: this session's #tables.
  std::string text = NameTempTables(o.text, temp_suffix);
  std::unique_ptr<Stmt> parsed = ParseProcedure(text);
  parsed->body = std::move(text);  // what the statements' offsets index, for the journal
  std::shared_ptr<const Stmt> kept = std::move(parsed);
  procedures_[o.id] = {o.text, kept};
  return kept;
}

void Session::RunProcedure(const Stmt& s, std::vector<StatementResult>* out) {
  // Finding the procedure and binding its arguments: a turn of their own.
  std::shared_ptr<const Stmt> proc;
  std::string name;
  std::map<std::string, Variable> locals;
  // For each OUTPUT argument: the caller's variable and the parameter.
  std::vector<std::pair<std::string, std::string>> outputs;
  {
    GateTurn turn(gate, *this);
    static const std::function<bool()> kNever;
    turn.Enter(cancel_ ? *cancel_ : kNever);
    now_ = LocalNow();
    subquery_cache_.clear();
    try {
      Object* o = cat_.FindObject(s.name);
      if (!o || o->xtype != "P")
        throw SqlError(2812, "Could not find stored procedure '" + s.name + "'.");
      name = o->name;
      proc = ProcedureBody(*o);
      if (procedure_names_.size() >= kMaxNesting)
        throw SqlError(217,
                       "Maximum stored procedure, function, trigger, or view nesting level "
                       "exceeded (limit 32).");
      CompileProcedure(*proc);
      const std::vector<ColumnDef>& params = proc->columns;
      std::vector<int> arg_of(params.size(), -1);  // the argument each parameter takes
      bool named = false;
      for (std::size_t k = 0; k < s.params.size(); ++k) {
        const std::string& given = s.params[k].first;
        std::size_t at = k;
        if (given.empty()) {
          if (named)
            throw SqlError(119,
                           "Must pass parameter number " + std::to_string(k + 1) +
                               " and subsequent parameters as '@name = value'. After the form "
                               "'@name = value' has been used, all subsequent parameters must be "
                               "passed in the form '@name = value'.",
                           15);
          if (k >= params.size())
            throw SqlError(8144,
                           "Procedure or function " + name + " has too many arguments specified.");
        } else {
          named = true;
          at = params.size();
          for (std::size_t p = 0; p < params.size(); ++p)
            if (VariableKey(params[p].name) == VariableKey(given)) at = p;
          if (at == params.size())
            throw SqlError(8145, given + " is not a parameter for procedure " + name + ".");
          if (arg_of[at] >= 0)
            throw SqlError(8143, "Parameter '" + params[at].name + "' was supplied multiple times.");
        }
        arg_of[at] = static_cast<int>(k);
        if (k < s.outputs.size() && s.outputs[k]) {
          if (!params[at].output)
            throw SqlError(8162, "The formal parameter \"" + params[at].name +
                                     "\" was not declared as an OUTPUT parameter, but the actual "
                                     "parameter passed in requested output.");
          outputs.emplace_back(s.params[k].second->name, VariableKey(params[at].name));
        }
      }
      if (procedure_names_.empty()) {
        bound_params_.assign(s.params.size(), std::string());
        for (std::size_t p = 0; p < params.size(); ++p)
          if (arg_of[p] >= 0) bound_params_[static_cast<std::size_t>(arg_of[p])] = params[p].name;
      }
      for (std::size_t p = 0; p < params.size(); ++p) {
        const Expr* e = arg_of[p] >= 0 ? s.params[static_cast<std::size_t>(arg_of[p])].second.get()
                                       : nullptr;
        if (!e) e = params[p].def.get();  // not given, or DEFAULT
        if (!e)
          throw SqlError(201, "Procedure or function '" + name + "' expects parameter '" +
                                  params[p].name + "', which was not supplied.");
        Value v;
        if (e) {
          Scope scope;
          Bind(const_cast<Expr&>(*e), scope, nullptr);
          Ctx ctx;
          v = AsParameter(Eval(*e, ctx), params[p].type);
        }
        locals[VariableKey(params[p].name)] = {params[p].type, std::move(v)};
      }
      if (!s.var.empty() && !vars_.count(s.var))
        throw SqlError(137, "Must declare the scalar variable \"" + s.var + "\".", 15);
    } catch (Error& e) {
      EndStatementLocks(false);
      // Errors of the call itself name the procedure called.
      if (!name.empty() && e.number() != 217 && e.number() != 137) e.procedure = name;
      throw AtLine(e, s.line);
    }
    EndStatementLocks(false);
  }

  // The body, with its own variables.
  std::map<std::string, Variable> callers = std::move(vars_);
  vars_ = std::move(locals);
  procedure_names_.push_back(name);
  return_value_.reset();
  const std::optional<std::int64_t> callers_identity = scope_identity_;
  scope_identity_.reset();  // the procedure is a scope of its own
  const int errors_before = errors_met_;
  struct Restore {
    Session& self;
    std::map<std::string, Variable>& callers;
    const std::optional<std::int64_t>& identity;
    ~Restore() {
      self.vars_ = std::move(callers);
      self.procedure_names_.pop_back();
      self.scope_identity_ = identity;
    }
  };
  std::map<std::string, Variable> finals;
  std::optional<int> returned;
  {
    Restore restore{*this, callers, callers_identity};
    try {
      for (const auto& c : proc->block) RunChild(*c, proc->body, out);
    } catch (const Returned&) {
    }
    returned = return_value_;
    return_value_.reset();
    finals = vars_;
  }
  // An error the procedure met and did not handle gives a status of -6
  // when it ends without RETURN's value.
  const int status = returned ? *returned : errors_met_ > errors_before ? -6 : 0;
  for (const auto& [caller, param] : outputs) {
    auto to = vars_.find(caller);
    auto from = finals.find(param);
    if (to != vars_.end() && from != finals.end())
      to->second.value = ConvertTo(from->second.value, to->second.type);
  }
  if (!s.var.empty()) {
    auto v = vars_.find(s.var);
    if (v != vars_.end()) v->second.value = ConvertTo(Value::Int(status), v->second.type);
  }
  StatementResult r;
  r.return_status = status;
  out->push_back(std::move(r));
}

ProcedureCall Session::CallProcedure(std::string_view name,
                                     const std::vector<ProcedureArgument>& args,
                                     const std::function<bool()>& cancelled) {
  ProcedureCall call;
  std::vector<StatementResult>& out = call.results;
  auto fail = [&](const Error& e) {
    StatementResult r;
    r.messages.push_back({e.number(), e.severity(), e.what(), e.line(), e.procedure});
    for (const Error::Message& m : e.follow_on) r.messages.push_back(m);
    out.push_back(std::move(r));
    call.failed = true;
    return call;
  };
  // The call as an EXEC statement whose arguments are variables of the
  // types given; a space in their names keeps them apart from any a
  // procedure declares.
  std::unique_ptr<Stmt> exec;
  vars_.clear();
  try {
    std::vector<std::unique_ptr<Stmt>> parsed = ParseBatch("exec " + std::string(name));
    if (parsed.size() != 1 || parsed[0]->k != Stmt::Exec || !parsed[0]->params.empty())
      throw Error(102, 15, "Incorrect syntax near '" + std::string(name) + "'.", 1);
    exec = std::move(parsed[0]);
    exec->var = "@ status";
    vars_[exec->var] = {TypeSpec{Type::Int, 0, 0, 0}, Value::Int(0)};
    for (std::size_t i = 0; i < args.size(); ++i) {
      const ProcedureArgument& a = args[i];
      ExprP e;
      if (!a.use_default) {
        std::vector<std::unique_ptr<Stmt>> decl = ParseBatch("declare @v " + a.type);
        if (decl.size() != 1 || decl[0]->columns.size() != 1)
          throw Error(102, 15, "Incorrect syntax near '" + a.type + "'.", 1);
        const TypeSpec type = decl[0]->columns[0].type;
        Value v;
        if (a.value && (type.type == Type::Binary || type.type == Type::VarBinary ||
                        type.type == Type::Image)) {
          std::string bytes;
          if (!HexBytes(*a.value, &bytes))
            throw SqlError(8114, "Error converting data type varchar to " + TypeName(type) + ".");
          v = Value::Bin(std::move(bytes));
        } else if (a.value) {
          v = ConvertTo(Value::Str(*a.value), type);
        }
        const std::string var = "@ arg" + std::to_string(i + 1);
        vars_[var] = {type, std::move(v)};
        e = std::make_unique<Expr>();
        e->k = Expr::Var;
        e->name = var;
      }
      exec->params.emplace_back(a.name, std::move(e));
      exec->outputs.push_back(a.output && !a.use_default);
    }
  } catch (const Error& e) {
    return fail(e);
  }
  bound_params_.clear();
  std::optional<Error> failed =
      RunTop(out, cancelled, [&] { RunChild(*exec, std::string_view(), &out); });
  call.failed = failed.has_value();
  if (out.empty() || !out.back().return_status) return call;
  call.return_status = out.back().return_status;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!exec->outputs[i]) continue;
    const Variable& v = vars_.at(exec->params[i].second->name);
    ResultColumn rc;
    rc.name = !args[i].name.empty() ? args[i].name
              : i < bound_params_.size() ? bound_params_[i]
                                         : std::string();
    rc.type = ResultType(v.type);
    rc.declared = TypeName(v.type);
    rc.length = v.type.length;
    rc.precision = v.type.precision;
    rc.scale = v.type.scale;
    call.outputs.columns.push_back(std::move(rc));
  }
  if (!call.outputs.columns.empty()) {
    call.outputs.has_result_set = true;
    call.outputs.rows.emplace_back();
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (!exec->outputs[i]) continue;
      const Value& v = vars_.at(exec->params[i].second->name).value;
      call.outputs.rows.back().push_back(v.null() ? std::nullopt
                                                  : std::optional<std::string>(ToText(v)));
    }
  }
  vars_.clear();
  return call;
}

}  // namespace engine
