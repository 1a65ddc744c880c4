#include "cli/commands/put.h"

#include <optional>
#include <utility>
#include <vector>

#include "cli/input.h"
#include "cli/stdin_readers.h"
#include "cli/terminal.h"
#include "cli/utf8.h"
#include "gate/context.h"
#include "gate/vault_text.h"

namespace pellucor {

namespace {

std::string available_types() {
  std::string list;
  for (std::string_view name : sorted_type_names()) {
    if (!list.empty()) list += ", ";
    list += name;
  }
  return list;
}

CliError unknown_type_error(std::string_view type) {
  return make_error(err::PL_2080, "unknown type '" + single_line_text(type) + "' (available: " + available_types() +
                                      ")");
}

const NamedField* find_field(const std::vector<NamedField>& fields, std::string_view name) {
  for (const NamedField& f : fields) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

bool is_secret_field(const NamedField& f) { return effective_field_tier(f.name, *f.def) > 1; }

// The options a type accepts, as listed when an option is not one of them.
std::string accepted_options(const std::vector<NamedField>& fields) {
  std::string list;
  for (const NamedField& f : fields) {
    if (!list.empty()) list += ", ";
    list += "--";
    list += f.name;
    // The option that is actually accepted: a field refused on the command
    // line is listed in its file form.
    if (is_secret_field(f)) list += "-file";
  }
  return list;
}

// The sole gate call of a put, and its success line.
std::expected<void, CliError> send_entry(const GateContext& ctx, const EntryUpsertBody& body) {
  auto created = upsert_entry(ctx, body);
  if (!created) return std::unexpected(std::move(created.error()));
  print_ok(std::string(*created ? "Created" : "Updated") + ": " + body.title);
  return {};
}

// What the flag path read from the command line, before anything is opened.
struct FlagInput {
  std::string type;  // alias-resolved, with the user's capitals
  const EntryType* def = nullptr;
  std::string title;
  PutValues values;
};

// One field option as given: a value, or the path of a file to read it from.
struct FieldOption {
  std::string name;
  std::optional<std::string> path;
  SecureString value;
  bool secret = false;  // read from a terminal with echo off
};

std::expected<FlagInput, CliError> read_flag_input(ArgParser& args, std::string_view type_arg) {
  FlagInput in;
  in.type = std::string(resolve_type_alias(type_arg));
  force_entry_schema();
  in.def = find_entry_type(in.type);
  if (in.def == nullptr) return std::unexpected(unknown_type_error(in.type));

  // The title is the next argument whatever it looks like, "-x" included.
  auto title = option_value_string(args, "<title>");
  if (!title) return std::unexpected(std::move(title.error()));
  in.title = std::move(*title);

  // The whole command line is checked before the first file is read, so that
  // a refusal (standard input named twice among them) reads nothing.
  const std::vector<NamedField> fields = sorted_field_names(*in.def);
  std::vector<FieldOption> given;
  StandardInputReaders stdin_readers;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.kind != ArgKind::Long) return std::unexpected(new_argument_error("unexpected: " + arg_token_debug(token)));
    const std::string& name = token.text;

    if (name.ends_with("-file")) {
      const std::string_view base = std::string_view(name).substr(0, name.size() - 5);
      if (find_field(fields, base) == nullptr)
        return std::unexpected(new_argument_error("--" + single_line_text(name) + " is not valid for type '" +
                                                  in.type +
                                                  "'. Secret fields use --<field>-file (e.g. --password-file)"));
      auto path = option_value_string(args, "--*-file");
      if (!path) return std::unexpected(std::move(path.error()));
      if (auto once = stdin_readers.claim_file("--" + name, *path); !once)
        return std::unexpected(std::move(once.error()));
      // A secret typed at the terminal is not shown.
      given.push_back({std::string(base), std::move(*path), {}, is_secret_field(*find_field(fields, base))});
      continue;
    }

    const NamedField* field = find_field(fields, name);
    // Refused before its value is taken: the secret is never even read.
    if (field != nullptr && is_secret_field(*field))
      return std::unexpected(new_argument_error("--" + name +
                                                " is a secret field and must not appear on the command line; use --" +
                                                name + "-file PATH (or - for stdin), or put --json on stdin"));
    if (field == nullptr && name != "urls")
      return std::unexpected(new_argument_error("--" + single_line_text(name) + " is not valid for type '" +
                                                in.type + "'. Use: " + accepted_options(fields)));
    auto value = option_value_string(args, "--flag");
    if (!value) return std::unexpected(std::move(value.error()));
    given.push_back({name, std::nullopt, SecureString(value->data(), value->size()), false});
  }

  // In the order given: a later option for the same field replaces the earlier.
  for (FieldOption& option : given) {
    if (option.path) {
      auto text = option.secret ? read_secret_source(*option.path) : read_text_source(*option.path);
      if (!text) return std::unexpected(std::move(text.error()));
      option.value = std::move(*text);
    }
    in.values.insert_or_assign(std::move(option.name), std::move(option.value));
  }
  return in;
}

std::expected<void, CliError> put_entry_from_flags(ArgParser& args, std::string_view type_arg) {
  auto in = read_flag_input(args, type_arg);
  if (!in) return std::unexpected(std::move(in.error()));

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));

  std::optional<json::Value> urls;
  if (auto it = in->values.find("urls"); it != in->values.end())
    urls = json::Value::array({std::string(it->second.view())});  // one URL text, not split
  auto body = build_put_body(std::move(in->title), std::move(in->type), *in->def, in->values, std::move(urls),
                             ctx->keys.l2);
  if (!body) return std::unexpected(std::move(body.error()));
  return send_entry(*ctx, *body);
}

// Wipes every string of a parsed input when the command returns: the input
// may hold secret plaintexts.
class WipeStringsOnExit {
 public:
  explicit WipeStringsOnExit(json::Value& v) : v_(v) {}
  WipeStringsOnExit(const WipeStringsOnExit&) = delete;
  WipeStringsOnExit& operator=(const WipeStringsOnExit&) = delete;
  ~WipeStringsOnExit() { json::wipe_strings(v_); }

 private:
  json::Value& v_;
};

const std::string* string_member(const json::Value& v, std::string_view key) {
  if (!v.is_object()) return nullptr;
  auto it = v.find(key);
  if (it == v.end() || !it->is_string()) return nullptr;
  return &it->get_ref<const std::string&>();
}

std::string_view json_kind(const json::Value& v) {
  if (v.is_boolean()) return "bool";
  if (v.is_number()) return "number";
  if (v.is_array()) return "array";
  return "object";
}

}  // namespace

std::expected<EntryUpsertBody, CliError> build_put_body(std::string title, std::string type,
                                                        const EntryType& def, const PutValues& values,
                                                        std::optional<json::Value> urls, const L2Key& l2) {
  EntryUpsertBody body;
  body.title = std::move(title);
  body.type = std::move(type);
  for (const NamedField& f : sorted_field_names(def)) {
    auto it = values.find(f.name);
    if (it == values.end() || it->second.empty()) continue;
    UpsertField out{f.def->label, {}, f.def->kind, 1};
    if (is_secret_field(f)) {
      auto sealed = encrypt_field(l2, f.def->label, it->second.view());
      if (!sealed)
        return std::unexpected(
            make_error(err::PL_2081, "encrypting " + f.def->label + ": " + format_context_error(sealed.error())));
      out.value = std::move(*sealed);
      out.tier = 2;
    } else {
      out.value = std::string(it->second.view());
    }
    body.fields.push_back(std::move(out));
  }
  body.urls = std::move(urls);
  return body;
}

std::expected<void, CliError> put_entry_from_json() {
  auto raw = read_secret_stdin();
  if (!raw) return std::unexpected(std::move(raw.error()));
  auto parsed = json::parse(raw->view());
  raw->wipe();
  if (!parsed) return std::unexpected(new_argument_error("invalid JSON: " + parsed.error().text()));
  json::Value& input = *parsed;
  const WipeStringsOnExit wipe_input(input);

  const std::string* type = string_member(input, "type");
  if (type == nullptr) return std::unexpected(new_argument_error("JSON missing \"type\" field"));
  const std::string* title = string_member(input, "title");
  if (title == nullptr) return std::unexpected(new_argument_error("JSON missing \"title\" field"));

  force_entry_schema();
  const EntryType* def = find_entry_type(*type);
  if (def == nullptr) return std::unexpected(unknown_type_error(*type));
  const std::vector<NamedField> fields = sorted_field_names(*def);
  // Keys come in byte order; the first stray one is reported.
  for (const auto& [key, value] : input.items()) {
    if (key == "type" || key == "title" || key == "urls") continue;
    if (find_field(fields, key) == nullptr)
      return std::unexpected(new_argument_error("unknown key '" + single_line_text(key) + "' for type '" + *type +
                                                "' \u2014 a typo would silently lose the value"));
  }

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));

  // Every value is checked before the first one is encrypted.
  for (const NamedField& f : fields) {
    auto it = input.find(f.name);
    if (it == input.end() || it->is_null() || it->is_string()) continue;
    return std::unexpected(new_argument_error("field '" + std::string(f.name) + "' must be a JSON string (got " +
                                              std::string(json_kind(*it)) + ") \u2014 quote the value"));
  }
  PutValues values;
  for (const NamedField& f : fields) {
    // "type" names the entry type; it is not also the value of a field that
    // happens to be called "type" (a database's engine).
    if (f.name == "type") continue;
    if (const std::string* v = string_member(input, f.name))
      values.emplace(std::string(f.name), SecureString(v->data(), v->size()));
  }

  std::optional<json::Value> urls;
  if (auto it = input.find("urls"); it != input.end()) {
    if (it->is_string()) urls = json::Value::array({*it});
    else if (it->is_array()) urls = *it;  // taken as given
  }
  auto body = build_put_body(*title, *type, *def, values, std::move(urls), ctx->keys.l2);
  if (!body) return std::unexpected(std::move(body.error()));
  return send_entry(*ctx, *body);
}

std::expected<void, CliError> run_put(ArgParser& args) {
  bool json_input = false;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) {
      if (json_input) return put_entry_from_json();
      return std::unexpected(new_argument_error("missing <type> (available: " + available_types() + ")"));
    }
    const ArgToken& token = **next;
    if (token.is_long("json")) {
      json_input = true;
      continue;
    }
    if (!token.is_value()) return std::unexpected(new_argument_error("unexpected: " + arg_token_debug(token)));
    if (!is_valid_utf8(token.text)) return std::unexpected(new_argument_error("not valid UTF-8"));
    // With --json the entry comes from standard input; the rest is not read.
    if (json_input) return put_entry_from_json();
    return put_entry_from_flags(args, token.text);
  }
}

}  // namespace pellucor
