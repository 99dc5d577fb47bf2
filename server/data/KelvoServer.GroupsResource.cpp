#include "KelvoServer.GroupsResource.h"

#include <algorithm>

#include "KelvoHosting.Helpers.h"
#include "KelvoHosting.ResourceManager.h"
#include "KelvoServer.Helpers.h"
#include "KelvoServer.UsersResource.h"
#include "KelvoServerAPI.HTTPError.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Resource.h"

namespace {

using TAllocator = rapidjson::Document::AllocatorType;

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Body members that are never custom fields, in lower case; built once when the unit starts.
const std::vector<std::string>& SkippedMembers() {
  static const std::vector<std::string> members = {"groupname", "users", "_meta"};
  return members;
}

bool IsSkipped(const std::string& name) {
  const auto& skipped = SkippedMembers();
  return std::find(skipped.begin(), skipped.end(), Lower(name)) != skipped.end();
}

rapidjson::Value Text(const std::string& text, TAllocator& a) {
  return rapidjson::Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), a);
}

std::string MemberName(const rapidjson::Value& name) { return std::string(name.GetString(), name.GetStringLength()); }

// The body as a JSON object with numbers kept as sent; false when it is not an object.
bool BodyObject(TEndpointRequest& request, rapidjson::Document& document) {
  const rapidjson::Value* object = nullptr;
  // The body object's own parse refuses hostile nesting; only then is the text read again.
  if (!request.Body().TryGetObject(object) || !object || !object->IsObject()) return false;
  const std::string& text = request.Body().GetJSONReader().Text();
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag>(text.c_str(), text.size());
  return !document.HasParseError() && document.IsObject();
}

struct TGroupBody {
  std::string FGroupName;
  TNameValuePairs FFields;  // custom fields (add) or changes (update)
  bool FHasUsers = false;   // no "users" array differs from an empty one
  std::vector<std::string> FUsers;
};

TGroupBody ReadGroupBody(const rapidjson::Value& object, bool for_update) {
  TGroupBody body;
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
    const std::string name = MemberName(it->name);
    if (Lower(name) == "users" && it->value.IsArray()) {
      body.FHasUsers = true;
      body.FUsers.clear();  // a repeated "users" member replaces the earlier list
      for (const auto& item : it->value.GetArray()) body.FUsers.push_back(TUsersResource::ValueText(item));
    }
    if (!for_update && Lower(name) == "groupname") {
      body.FGroupName = TUsersResource::ValueText(it->value);
      continue;
    }
    if (IsSkipped(name)) continue;
    // On update an empty text removes the field, while null is stored as the text "null".
    body.FFields.emplace_back(name, TUsersResource::ValueText(it->value));
  }
  return body;
}

// A group name is client text: in the Location header it is one percent-encoded path segment,
// so that it can neither end the header line nor add path segments.
std::string PathSegment(const std::string& text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::string ItemName(TEndpointRequest& request) {
  std::string item;
  if (!request.Params().TryGetValue("item", item)) RaiseBadRequest({}, "Unexpected request query parameters");
  return item;
}

TUserGroupAPI::TAuthorizeCallback CreatorCheck(TEndpointContext& context) {
  return [&context](const std::string& creator) { TEndpointHelpers::CheckCreator(context, creator); };
}

// --- the resource helper routines of groups: one connection and one API per call --------------

rapidjson::Value GetGroupsFields(TAllocator& a) {
  std::vector<std::string> keys;
  TResourceHelper::WithAPI<TUserGroupAPI>("", [&](TUserGroupAPI& api) { return api.GetDetailKeys(keys); });
  rapidjson::Value fields(rapidjson::kArrayType);
  fields.PushBack(TFieldsHelper::MakeField("groupname", a), a);
  std::vector<rapidjson::Value> meta;
  meta.push_back(TFieldsHelper::MakeField("creator", a));
  meta.push_back(TFieldsHelper::MakeField("created", a));
  meta.push_back(TFieldsHelper::MakeField("updated", a));
  fields.PushBack(TFieldsHelper::MakeField("_meta", false, std::move(meta), a), a);
  fields.PushBack(TFieldsHelper::MakeField("users", a), a);
  for (const auto& key : keys) fields.PushBack(TFieldsHelper::MakeField(key, true, {}, a), a);
  return fields;
}

// The groups of the page and their members, read in a fixed number of statements whatever the
// page's size.
void GetAll(const TQuery* query, const std::string& tenant, rapidjson::Document& body) {
  auto& a = body.GetAllocator();
  TResourceHelper::WithAPI<TUserGroupAPI>(tenant, [&](TUserGroupAPI& api) {
    std::vector<TGroupInfo> groups;
    api.GetGroups(query, groups);
    const auto users = api.GetUsersByGroups(groups);
    for (size_t i = 0; i < groups.size(); ++i) body.PushBack(TGroupsResource::GroupToJSON(groups[i], users[i], a), a);
    return 0;
  });
}

// The group and its members; false when the tenant has no group of that name. `check` runs
// between reading the group and reading its members.
bool GetByName(const std::string& name, const std::string& tenant, const TUserGroupAPI::TAuthorizeCallback& check,
               TGroupInfo& group, std::vector<std::string>& users) {
  return TResourceHelper::WithAPI<TUserGroupAPI>(tenant, [&](TUserGroupAPI& api) {
    if (!api.GetGroupByName(name, group)) return false;
    if (check) check(group.Creator);
    api.GetUsersByGroup(name, users);
    return true;
  });
}

// The group is committed first, then each listed member is stored at once: an unknown id ends
// the request with the group and the members before it in place.
void Add(const TGroupBody& body, const std::string& creator, const std::string& tenant,
         const TUserGroupAPI::TAuthorizeCallback& check) {
  TResourceHelper::WithAPI<TUserGroupAPI>(tenant, [&](TUserGroupAPI& api) {
    api.AddGroup(body.FGroupName, creator, body.FFields);
    if (body.FHasUsers)
      for (const auto& user : body.FUsers) api.AddUserToGroup(user, body.FGroupName, check);
    return 0;
  });
}

// Custom fields, then members, as two transactions: the field changes stay when the member
// update fails. The reply's date is the group's last change.
std::string Update(const std::string& name, const TGroupBody& body, const std::string& tenant,
                   const TUserGroupAPI::TAuthorizeCallback& check) {
  return TResourceHelper::WithAPI<TUserGroupAPI>(tenant, [&](TUserGroupAPI& api) {
    api.UpdateGroup(name, body.FFields, check);
    if (body.FHasUsers) api.UpdateGroupUsers(name, body.FUsers, check);
    TGroupInfo group;
    return TDateTimeHelper::DateTimeToText(api.GetGroupByName(name, group) ? group.LastModified : DBTimestampNowUTC());
  });
}

bool Delete(const std::string& name, const std::string& tenant, const TUserGroupAPI::TAuthorizeCallback& check) {
  return TResourceHelper::WithAPI<TUserGroupAPI>(tenant,
                                                 [&](TUserGroupAPI& api) { return api.DeleteGroup(name, check); });
}

// --- endpoints ----------------------------------------------------------------------------------

void Get(TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
  auto query = TQueryHelper::QueryFromParams(request.Params());
  rapidjson::Document body;
  body.SetArray();
  GetAll(query.get(), TResourceHelper::TenantIdOf(context), body);
  response.Body().SetValue(body);
}

void GetItem(TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
  const std::string name = ItemName(request);
  TGroupInfo group;
  std::vector<std::string> users;
  if (!GetByName(name, TResourceHelper::TenantIdOf(context), CreatorCheck(context), group, users))
    response.RaiseNotFound();
  rapidjson::Document body;
  static_cast<rapidjson::Value&>(body) = TGroupsResource::GroupToJSON(group, users, body.GetAllocator());
  response.Body().SetValue(body);
}

void GetFields(TEndpointContext&, TEndpointRequest&, TEndpointResponse& response) {
  rapidjson::Document body;
  static_cast<rapidjson::Value&>(body) = GetGroupsFields(body.GetAllocator());
  response.Body().SetValue(body);
}

void Post(TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
  rapidjson::Document object;
  if (!BodyObject(request, object)) RaiseBadRequest({}, "Unexpected request body");
  const std::string creator = TEndpointHelpers::IdentityFromContext(context);
  const TGroupBody group = ReadGroupBody(object, false);
  if (group.FGroupName.empty()) RaiseBadRequest({}, "Group name expected");
  const std::string tenant = TResourceHelper::TenantIdOf(context);
  try {
    Add(group, creator, tenant, CreatorCheck(context));
  } catch (const EBaseAPIDuplicateError& e) {
    RaiseDuplicate({}, e.what());
  } catch (const EBaseAPINotFoundError& e) {
    RaiseNotFound({}, e.what());
  } catch (const EBaseAPIInvalidParametersError& e) {
    RaiseBadRequest({}, e.what());
  }
  TGroupInfo info;
  std::vector<std::string> users;
  rapidjson::Document body;
  body.SetObject();
  if (GetByName(group.FGroupName, tenant, nullptr, info, users))
    static_cast<rapidjson::Value&>(body) = TGroupsResource::GroupToJSON(info, users, body.GetAllocator());
  response.Body().SetValue(body);
  response.SetCreated(PathSegment(group.FGroupName));
}

void PutItem(TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
  const std::string name = ItemName(request);
  rapidjson::Document object;
  if (!BodyObject(request, object)) RaiseBadRequest({}, "Unexpected request body");
  if (name.empty()) RaiseBadRequest({}, "Group name expected");
  const TGroupBody changes = ReadGroupBody(object, true);
  const std::string tenant = TResourceHelper::TenantIdOf(context);
  if (!TTenantHelper::IsEntityBelongsToTenant(TTenantEntity::Groups, name, tenant))
    RaiseUnauthorized({}, "This entity does not belong to the selected Tenant.");
  std::string updated;
  try {
    updated = Update(name, changes, tenant, CreatorCheck(context));
  } catch (const EBaseAPINotFoundError& e) {
    RaiseNotFound({}, e.what());
  } catch (const EBaseAPIInvalidParametersError& e) {
    RaiseBadRequest({}, e.what());
  }
  rapidjson::Document body;
  body.SetObject();
  AddMember(body, "updated", updated, body.GetAllocator());
  response.Body().SetValue(body);
}

void DeleteItem(TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
  const std::string name = ItemName(request);
  if (!Delete(name, TResourceHelper::TenantIdOf(context), CreatorCheck(context))) response.RaiseNotFound();
  response.SetStatusCode(204);
}

// --- documentation ------------------------------------------------------------------------------

void AddStrings() {
  const auto block = [](std::initializer_list<const char*> lines) {
    std::string text = " |";
    for (const char* line : lines) text += std::string("\r\n    ") + line;
    return text;
  };
  TResourceStringsTable::Add("sGetGroupsSummaryTitle", "Get Groups");
  TResourceStringsTable::Add("sGetGroupsSummaryDesc",
                             block({"Used to retrieve all data from `Groups`.",
                                    "Optional query param of **skip, limit, order, where** determines ",
                                    "size of returned array, filtered and order by."}));
  TResourceStringsTable::Add("sGetGroupSummaryTitle", "Get Group");
  TResourceStringsTable::Add(
      "sGetGroupSummaryDesc",
      block({"Used to retrieve all data from a `Group`. **item** is the unique Brill Server Group name in the Brill "
             "Server database."}));
  TResourceStringsTable::Add("sGroupPathParamItemDesc", "A group name");
  TResourceStringsTable::Add("sGetGroupFieldsSummaryTitle", "Get Fields");
  TResourceStringsTable::Add(
      "sGetGroupFieldsSummaryDesc",
      block({"Used to retrieve all the `field names` of the Brill Server Group (including the custom fields)."}));
  TResourceStringsTable::Add("sPostGroupSummaryTitle", "Add Group");
  TResourceStringsTable::Add("sPostGroupSummaryDesc",
                             block({"Used to add a new `Group` object to the Brill Server database."}));
  TResourceStringsTable::Add("sPutGroupSummaryTitle", "Update Group");
  TResourceStringsTable::Add(
      "sPutGroupSummaryDesc",
      block({"Used to update a `Group`. **item** is the unique Brill Server Group name in the Brill Server "
             "database."}));
  TResourceStringsTable::Add("sResponseGroupNotFound", "Group not found");
  TResourceStringsTable::Add("sResponseUserNotFound", "User not found");
  TResourceStringsTable::Add("sDeleteGroupSummaryTitle", "Delete Group");
  TResourceStringsTable::Add(
      "sDeleteGroupSummaryDesc",
      block({"Used to delete a `Group`. **item** is the unique Brill Server Group name in the Brill Server "
             "database."}));
  TResourceStringsTable::Add("sResponseGroupUserNotFound", "Group not found / User not found");
  TResourceStringsTable::Add("sResponseGroupExist", "Group already exist");
}

const char* const kYAMLDefinitions =
    "_metaGroupObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - creator\n"
    "    - created\n"
    "  properties:\n"
    "    creator:\n"
    "      type: string\n"
    "    created:\n"
    "      type: string\n"
    "    updated:\n"
    "      type: string\n"
    "groupObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - name\n"
    "    - _meta\n"
    "  properties:\n"
    "    name:\n"
    "      type: string\n"
    "    _meta:\n"
    "      $ref: '#/definitions/_metaGroupObject'\n"
    "    users:\n"
    "      type: array\n"
    "      items:\n"
    "        type: string\n"
    "  additionalProperties:\n"
    "    type: string\n"
    "groupAddObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - groupname\n"
    "  properties:\n"
    "    groupname:\n"
    "      type: string\n"
    "updateGroupObject:\n"
    "  type: object\n"
    "  properties:\n"
    "    fieldName:\n"
    "      type: string\n"
    "    users:\n"
    "      type: array\n"
    "      items:\n"
    "        type: string\n"
    "updatedGroupObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - updated\n"
    "  properties:\n"
    "    updated:\n"
    "      type: string\n"
    "fieldGroupObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - name\n"
    "  properties:\n"
    "    name:\n"
    "      type: string\n"
    "    fields:\n"
    "      type: array\n"
    "      items:\n"
    "        type: object\n"
    "        properties:\n"
    "          name:\n"
    "            type: string\n"
    "    custom:\n"
    "      type: boolean\n";

const char* const kJSONDefinitions =
    "{\"_metaGroupObject\":{\"type\":\"object\",\"required\":[\"creator\",\"created\"],\"properties\":{"
    "\"creator\":{\"type\":\"string\"},\"created\":{\"type\":\"string\"},\"updated\":{\"type\":\"string\"}}},"
    "\"groupObject\":{\"type\":\"object\",\"required\":[\"name\",\"_meta\"],\"properties\":{"
    "\"name\":{\"type\":\"string\"},\"_meta\":{\"$ref\":\"#/definitions/_metaGroupObject\"},"
    "\"users\":{\"type\":\"array\",\"items\":{\"type\":\"string\"}}},"
    "\"additionalProperties\":{\"type\":\"string\"}},"
    "\"groupAddObject\":{\"type\":\"object\",\"required\":[\"groupname\"],\"properties\":{"
    "\"groupname\":{\"type\":\"string\"}}},"
    "\"updateGroupObject\":{\"type\":\"object\",\"properties\":{\"fieldName\":{\"type\":\"string\"},"
    "\"users\":{\"type\":\"array\",\"items\":{\"type\":\"string\"}}}},"
    "\"updatedGroupObject\":{\"type\":\"object\",\"required\":[\"updated\"],\"properties\":{"
    "\"updated\":{\"type\":\"string\"}}},"
    "\"fieldGroupObject\":{\"type\":\"object\",\"required\":[\"name\"],\"properties\":{\"name\":{\"type\":\"string\"},"
    "\"fields\":{\"type\":\"array\",\"items\":{\"type\":\"object\",\"properties\":{\"name\":{\"type\":\"string\"}}}},"
    "\"custom\":{\"type\":\"boolean\"}}}}";

TAPIDocParameter PathItemParam() { return {"item", "path", "sGroupPathParamItemDesc", "string", true, ""}; }

}  // namespace

rapidjson::Value TGroupsResource::GroupToJSON(const TGroupInfo& AGroup, const std::vector<std::string>& AUsers,
                                              TAllocator& a) {
  rapidjson::Value group(rapidjson::kObjectType);
  group.AddMember("groupname", Text(AGroup.GroupName, a), a);
  group.AddMember("_meta", TDateTimeHelper::MetaObject(AGroup.Creator, AGroup.Created, AGroup.LastModified, a), a);
  for (const auto& [name, value] : AGroup.Details) group.AddMember(Text(name, a), Text(value, a), a);
  if (!AUsers.empty()) {
    rapidjson::Value users(rapidjson::kArrayType);
    for (const auto& user : AUsers) users.PushBack(Text(user, a), a);
    group.AddMember("users", users, a);
  }
  return group;
}

void TGroupsResource::RegisterAllowCreator() {
  EndpointAuthorization().RegisterAllowCreator("Groups", {"GetGroup", "DeleteGroup", "UpdateGroup"});
}

void TGroupsResource::Register() {
  AddStrings();
  SkippedMembers();
  const std::vector<std::string> tags = {"Groups"};
  const std::vector<std::string> json = {"application/json"};
  TResourceDefinition groups("Groups");
  groups.Get("GetGroups", "", Get)
      .Summary("sGetGroupsSummaryTitle").Description("sGetGroupsSummaryDesc").Tags(tags).Produces(json)
      .Params(TQueryHelper::DocParameters())
      .Response(200, "sResponseOK", "#/definitions/groupObject", true)
      .Response(400, "sResponseBadRequest");
  groups.Get("GetGroup", "{item}", GetItem)
      .Summary("sGetGroupSummaryTitle").Description("sGetGroupSummaryDesc").Tags(tags).Produces(json)
      .Param(PathItemParam())
      .Response(200, "sResponseOK", "#/definitions/groupObject");
  groups.Get("GetGroupFields", "fields", GetFields)
      .Summary("sGetGroupFieldsSummaryTitle").Description("sGetGroupFieldsSummaryDesc").Tags(tags).Produces(json)
      .Response(200, "sResponseOK", "#/definitions/fieldGroupObject", true);
  groups.Post("AddGroup", "", Post)
      .Summary("sPostGroupSummaryTitle").Description("sPostGroupSummaryDesc").Tags(tags).Produces(json)
      .Consumes(json)
      .Param({"body", "body", "sSignUpObject", "", true, "#/definitions/groupAddObject"})
      .Response(200, "sResponseOK")
      .Response(404, "sResponseGroupExist");
  groups.Put("UpdateGroup", "{item}", PutItem)
      .Summary("sPutGroupSummaryTitle").Description("sPutGroupSummaryDesc").Tags(tags).Produces(json)
      .Consumes(json)
      .Param(PathItemParam())
      .Param({"body", "body", "sSignUpObject", "", true, "#/definitions/updateGroupObject"})
      .Response(200, "sResponseOK", "#/definitions/updatedGroupObject")
      .Response(404, "sResponseGroupUserNotFound");
  groups.Delete("DeleteGroup", "{item}", DeleteItem)
      .Summary("sDeleteGroupSummaryTitle").Description("sDeleteGroupSummaryDesc").Tags(tags)
      .Param(PathItemParam())
      .Response(204, "sResponseNoContent")
      .Response(404, "sResponseGroupNotFound");
  groups.YAMLDefinitions(kYAMLDefinitions).JSONDefinitions(kJSONDefinitions);
  RegisterResource(groups);
}
