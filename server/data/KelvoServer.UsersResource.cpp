#include "KelvoServer.UsersResource.h"

#include "KelvoHosting.Endpoints.h"
#include "KelvoHosting.Helpers.h"
#include "KelvoHosting.ResourceManager.h"
#include "KelvoServer.Helpers.h"
#include "KelvoServer.WebvaneModule.h"
#include "KelvoServerAPI.HTTPError.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Resource.h"

namespace {

using TAllocator = rapidjson::Document::AllocatorType;
using TEndpointDataType = TEndpointContextImpl::TEndpointDataType;

// Update members that are never custom fields, in lower case.
const std::vector<std::string>& UpdateSkippedMembers() {
  static const std::vector<std::string> members = {"_id", "password", "_meta"};
  return members;
}

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

rapidjson::Value Text(const std::string& text, TAllocator& a) {
  return rapidjson::Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), a);
}

void SetEndpointData(TEndpointContext& context, TEndpointDataType type, const std::string& value) {
  if (auto* impl = dynamic_cast<TEndpointContextImpl*>(&context)) impl->SetEndpointData(type, value);
}

// The body as a JSON object with numbers kept as sent; false when it is not an object.
bool BodyObject(TEndpointRequest& request, rapidjson::Document& document) {
  const rapidjson::Value* object = nullptr;
  // The body object's own parse refuses hostile nesting; only then is the text read again.
  if (!request.Body().TryGetObject(object) || !object || !object->IsObject()) return false;
  const std::string& text = request.Body().GetJSONReader().Text();
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag>(text.c_str(), text.size());
  return !document.HasParseError() && document.IsObject();
}

std::string MemberName(const rapidjson::Value& name) { return std::string(name.GetString(), name.GetStringLength()); }

struct TUserBody {
  TUserAPI::TCredentials FCredentials;
  TNameValuePairs FDetails;
};

TUserBody ReadUserBody(const rapidjson::Value& object) {
  TUserBody body;
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
    const std::string name = MemberName(it->name);
    const std::string value = TUsersResource::ValueText(it->value);
    if (SameTextIgnoringCase(name, "username")) body.FCredentials.FUserName = value;
    else if (SameTextIgnoringCase(name, "password")) body.FCredentials.FPassword = value;
    else body.FDetails.emplace_back(name, value);
  }
  return body;
}

TNameValuePairs ReadChangeList(const rapidjson::Value& object) {
  TNameValuePairs changes;
  const auto& skipped = UpdateSkippedMembers();
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
    const std::string name = MemberName(it->name);
    if (std::find(skipped.begin(), skipped.end(), Lower(name)) != skipped.end()) continue;
    changes.emplace_back(name, it->value.IsNull() ? std::string() : TUsersResource::ValueText(it->value));
  }
  return changes;
}

// The creator stored for a new user: the caller, or the user himself for anonymous sign-ups.
std::string CreatorFor(TEndpointContext& context, const std::string& user_id) {
  const std::string identity = TEndpointHelpers::IdentityFromContext(context);
  return identity == TEndpointHelpers::kAnonymousCreator ? user_id : identity;
}

bool HasMasterSecret(TEndpointContext& context) {
  return context.Authenticated().Contains(TEndpointContext::TAuthenticatedFlag::MasterSecret);
}

// Does the user belong to the request's tenant? A request without a tenant has no tenant scope,
// which would reach the users of every tenant: only the master secret may do that.
bool UserInRequestTenant(TEndpointContext& context, const std::string& id, const std::string& tenant) {
  if (tenant.empty()) return HasMasterSecret(context);
  return TTenantHelper::IsEntityBelongsToTenant(TTenantEntity::Users, id, tenant);
}

// "me" stands for the signed-in user.
std::string ItemId(TEndpointContext& context) {
  std::string id = TResourceHelper::PathId(context);
  if (SameTextIgnoringCase(id, "me")) {
    auto* user = context.User();
    if (!user) RaiseUnauthorized();
    id = user->UserID();
  }
  return id;
}

// --- TResourceHelper routines of this resource: one connection and one API per call -------------

rapidjson::Value GetUsersFields(TAllocator& a) {
  std::vector<std::string> keys;
  TResourceHelper::WithAPI<TUserAPI>("", [&](TUserAPI& api) { return api.GetUserDetailKeys(keys); });
  rapidjson::Value fields(rapidjson::kArrayType);
  fields.PushBack(TFieldsHelper::MakeField("username", a), a);
  fields.PushBack(TFieldsHelper::MakeField("_id", a), a);
  std::vector<rapidjson::Value> meta;
  meta.push_back(TFieldsHelper::MakeField("creator", a));
  meta.push_back(TFieldsHelper::MakeField("created", a));
  meta.push_back(TFieldsHelper::MakeField("updated", a));
  fields.PushBack(TFieldsHelper::MakeField("_meta", false, std::move(meta), a), a);
  for (const auto& key : keys) fields.PushBack(TFieldsHelper::MakeField(key, true, {}, a), a);
  return fields;
}

std::vector<TUserInfo> GetAllUsers(const TQuery* query, const std::string& tenant) {
  std::vector<TUserInfo> users;
  TResourceHelper::WithAPI<TUserAPI>(tenant, [&](TUserAPI& api) { return api.GetUsers(query, users); });
  return users;
}

bool GetUserByID(const std::string& id, const std::string& tenant, TUserInfo& user) {
  return TResourceHelper::WithAPI<TUserAPI>(tenant, [&](TUserAPI& api) { return api.GetUserByID(id, user); });
}

bool GetUserByName(const std::string& name, const std::string& tenant, TUserInfo& user) {
  return TResourceHelper::WithAPI<TUserAPI>(tenant, [&](TUserAPI& api) { return api.GetUserByName(name, user); });
}

// The single "username" equality of a first page, answered by a name lookup.
bool SingleUserNameFilter(const TQuery& query, std::string& name) {
  if (query.Skip != 0 || !query.FiltersOrNull() || query.FiltersOrNull()->Count() != 1) return false;
  const auto* simple = dynamic_cast<const TSimpleFilter*>(&query.FiltersOrNull()->GetItem(0));
  if (!simple || simple->Op != TSimpleFilter::TOperator::eq || simple->Attribute != "username") return false;
  name = DBScalarToString(simple->Value);
  return true;
}

// --- endpoints ----------------------------------------------------------------------------------

void Get(TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
  auto query = TQueryHelper::QueryFromParams(request.Params());
  const std::string tenant = TResourceHelper::TenantIdOf(context);
  rapidjson::Document body;
  body.SetArray();
  auto& a = body.GetAllocator();
  std::string name;
  // Without a tenant the list would have no tenant condition at all: every tenant's users. Only
  // the master secret may see that.
  if (tenant.empty() && !HasMasterSecret(context)) {
    // nothing to list
  } else if (query && SingleUserNameFilter(*query, name)) {
    TUserInfo user;
    if (GetUserByName(name, tenant, user)) body.PushBack(TUsersResource::UserToJSON(user, a), a);
  } else {
    for (const auto& user : GetAllUsers(query.get(), tenant)) body.PushBack(TUsersResource::UserToJSON(user, a), a);
  }
  response.Body().SetValue(body);
}

void GetItem(TEndpointContext& context, TEndpointRequest&, TEndpointResponse& response) {
  const std::string id = ItemId(context);
  TUserInfo user;
  if (!GetUserByID(id, TResourceHelper::TenantIdOf(context), user)) response.RaiseNotFound();
  TEndpointHelpers::CheckCreator(context, user.UserID);
  rapidjson::Document body;
  static_cast<rapidjson::Value&>(body) = TUsersResource::UserToJSON(user, body.GetAllocator());
  response.Body().SetValue(body);
}

void GetFields(TEndpointContext&, TEndpointRequest&, TEndpointResponse& response) {
  rapidjson::Document body;
  static_cast<rapidjson::Value&>(body) = GetUsersFields(body.GetAllocator());
  response.Body().SetValue(body);
}

void GetUserGroups(TEndpointContext& context, TEndpointRequest&, TEndpointResponse& response) {
  const std::string id = ItemId(context);
  // Group membership lives in the groups store, reached through the pipeline's hook.
  const auto& groups_of = KelvoRequestServices().GetGroupsByUser;
  const auto names = groups_of ? groups_of(nullptr, id, TResourceHelper::TenantIdOf(context))
                               : std::vector<std::string>();
  rapidjson::Document body;
  body.SetArray();
  for (const auto& n : names) body.PushBack(Text(n, body.GetAllocator()), body.GetAllocator());
  response.Body().SetValue(body);
}

// Add and sign-up share the reading of the body and the creation of the user.
std::string AddUserFromBody(TEndpointContext& context, const TUserBody& body) {
  if (body.FCredentials.FUserName.empty()) RaiseBadRequest({}, "User name expected");
  const std::string id = TUserAPI::NewUserID(body.FCredentials);
  TUserAPI::TMeta meta{id, CreatorFor(context, id)};
  TResourceHelper::WithAPI<TUserAPI>(TResourceHelper::TenantIdOf(context), [&](TUserAPI& api) {
    api.AddUser(body.FCredentials, meta, body.FDetails);
    return 0;
  });
  return id;
}

void PostAdd(TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
  rapidjson::Document object;
  if (!BodyObject(request, object)) RaiseBadRequest({}, "Unexpected request body");
  std::string id;
  try {
    id = AddUserFromBody(context, ReadUserBody(object));
  } catch (const EBaseAPIDuplicateError& e) {
    RaiseDuplicate({}, e.what());
  } catch (const EBaseAPIError& e) {
    RaiseForbidden({}, e.what());
  }
  rapidjson::Document body;
  body.SetObject();
  AddMember(body, "_id", id, body.GetAllocator());
  response.Body().SetValue(body);
  response.SetCreated(id);
  SetEndpointData(context, TEndpointDataType::AddUser, id);
}

void PostSignup(TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
  rapidjson::Document object;
  if (!BodyObject(request, object)) RaiseUnauthorized();
  const TUserBody user = ReadUserBody(object);
  std::string id, token;
  try {
    id = AddUserFromBody(context, user);
    std::string login_id;
    TResourceHelper::WithAPI<TUserAPI>(TResourceHelper::TenantIdOf(context), [&](TUserAPI& api) {
      api.Login(user.FCredentials, login_id, token);
      return 0;
    });
  } catch (const EBaseAPIDuplicateError& e) {
    RaiseDuplicate({}, e.what());
  } catch (const EBaseAPIInvalidParametersError& e) {
    RaiseBadRequest({}, e.what());
  } catch (const EBaseAPIError& e) {
    RaiseForbidden({}, e.what());
  }
  rapidjson::Document body;
  body.SetObject();
  AddMember(body, "sessionToken", token, body.GetAllocator());
  AddMember(body, "_id", id, body.GetAllocator());
  response.Body().SetValue(body);
  response.SetStatusCode(200);
  SetEndpointData(context, TEndpointDataType::AddUser, id);
}

void PostLogin(TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
  if (request.Params().GetCount() > 1) RaiseBadRequest({}, "Unexpected request query parameters");
  rapidjson::Document object;
  if (!BodyObject(request, object)) RaiseUnauthorized();
  const TUserBody user = ReadUserBody(object);
  if (user.FCredentials.FUserName.empty()) RaiseBadRequest({}, "User name expected");
  const std::string tenant = TResourceHelper::TenantIdOf(context);
  std::string id, token;
  TUserInfo info;
  bool found = false;
  try {
    TResourceHelper::WithAPI<TUserAPI>(tenant, [&](TUserAPI& api) {
      api.Login(user.FCredentials, id, token);
      found = api.GetUserByID(id, info);
      return 0;
    });
  } catch (const EBaseAPINotFoundError& e) {
    RaiseNotFound({}, e.what());
  } catch (const EBaseAPIAuthenticateError&) {
    RaiseUnauthorized();
  }
  rapidjson::Document body;
  body.SetObject();
  if (found) static_cast<rapidjson::Value&>(body) = TUsersResource::UserToJSON(info, body.GetAllocator());
  AddMember(body, "sessionToken", token, body.GetAllocator());
  response.Body().SetValue(body);
  response.SetCreated(id);
  SetEndpointData(context, TEndpointDataType::LoginUser, id);
}

void PostLogout(TEndpointContext& context, TEndpointRequest&, TEndpointResponse& response) {
  auto* user = context.Authenticated().Contains(TEndpointContext::TAuthenticatedFlag::User) ? context.User() : nullptr;
  if (!user) RaiseUnauthorized();
  const std::string token = user->SessionToken();
  const bool found = TResourceHelper::WithAPI<TUserAPI>(TResourceHelper::TenantIdOf(context), [&](TUserAPI& api) {
    std::string id;
    if (!api.GetCurrentUser(token, id)) return false;
    api.Logout(id);
    return true;
  });
  if (!found) response.RaiseNotFound();
  response.SetStatusCode(200);
}

void PutItem(TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
  const std::string id = TResourceHelper::PathId(context);
  rapidjson::Document object;
  if (!BodyObject(request, object)) RaiseBadRequest({}, "Unexpected request body");
  const std::string tenant = TResourceHelper::TenantIdOf(context);
  if (!UserInRequestTenant(context, id, tenant))
    RaiseUnauthorized({}, "This entity does not belong to the selected Tenant.");
  TEndpointHelpers::CheckCreator(context, id);
  std::string updated;
  try {
    TResourceHelper::WithAPI<TUserAPI>(tenant, [&](TUserAPI& api) {
      auto password = object.FindMember("password");
      if (password != object.MemberEnd() && password->value.IsString())
        api.UpdateUserPassword(id, std::string(password->value.GetString(), password->value.GetStringLength()));
      api.UpdateUser(id, ReadChangeList(object),
                     [&context](const std::string& user_id) { TEndpointHelpers::CheckCreator(context, user_id); });
      TUserInfo user;
      updated = TDateTimeHelper::DateTimeToText(api.GetUserByID(id, user) ? user.LastModified : DBTimestampNowUTC());
      return 0;
    });
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

void DeleteItem(TEndpointContext& context, TEndpointRequest&, TEndpointResponse& response) {
  const std::string id = TResourceHelper::PathId(context);
  const std::string tenant = TResourceHelper::TenantIdOf(context);
  bool deleted = false;
  if (UserInRequestTenant(context, id, tenant)) {
    TEndpointHelpers::CheckCreator(context, id);
    deleted = TResourceHelper::WithAPI<TUserAPI>(tenant, [&](TUserAPI& api) {
      return api.DeleteUser(id, [&context](const std::string& user_id) { TEndpointHelpers::CheckCreator(context, user_id); });
    });
  }
  if (!deleted) response.RaiseNotFound();
  SetEndpointData(context, TEndpointDataType::DeletedUser, id);
  response.SetStatusCode(204);
}

// --- documentation ------------------------------------------------------------------------------

std::string Block(std::initializer_list<const char*> lines) {
  std::string text = " |";
  for (const char* line : lines) text += std::string("\r\n    ") + line;
  return text;
}

void AddStrings() {
  const std::pair<const char*, std::string> texts[] = {
      {"sResponseBadRequest", "Bad Request"},
      {"sResponseOK", "OK"},
      {"sResponseNoContent", "No Content"},
      {"sResponseUserCreated", "User Created"},
      {"sResponseUserExist", "User already exists"},
      {"sResponseWrongCredentials", "The credentials of the request are not authorized for the requested operation."},
      {"sResponseUserNotFound", "User not found"},
      {"sResponseOpNotCompleted",
       "Operation could not be completed because one or more dynamic names conflicts with a static name."},
      {"sResponseRequestNotIdentify",
       "The request does not identify a known application, resource, endpoint, or entity"},
      {"sGetUsersSummaryTitle", "Get Users"},
      {"sGetUsersSummaryDesc",
       Block({"Used to retrieve all data from `Users`.", "Optional query param of **skip, limit, order, where** determines ",
              "size of returned array, filtered and order by."})},
      {"sGetUserSummaryTitle", "Get User"},
      {"sGetUserSummaryDesc",
       Block({"Used to retrieve all data from a `User`. **id** is the unique Brill Server User identifier (UID) in the "
              "Brill Server database."})},
      {"sGetUserFieldsSummaryTitle", "Get Fields"},
      {"sGetUserFieldsSummaryDesc",
       Block({"Used to retrieve all the `field names` of the Brill Server Users (including the custom fields)."})},
      {"sGetUserGroupsSummaryTitle", "Get User Groups"},
      {"sGetUserGroupsSummaryDesc",
       Block({"Used to retrieve the Brill Server Groups the Brill Server User belongs to. **id** is the unique Brill "
              "Server User identifier (UID) in the Brill Server database."})},
      {"sUserSignUpSummaryTitle", "Sign Up  User"},
      {"sUserSignUpSummaryDesc", Block({"Signs up to the Brill Server with an appropriate Brill Server User."})},
      {"sPostLoginSummaryTitle", "Log In"},
      {"sPostLoginSummaryDesc", Block({"Logs in to the Brill Server with a specific Brill Server User."})},
      {"sPostLogoutSummaryTitle", "Log Out"},
      {"sPostLogoutSummaryDesc", Block({"Logs out a specific Brill Server User from the Brill Server."})},
      {"sPostUserSummaryTitle", "Add User"},
      {"sPostUserSummaryDesc", Block({"Used to add a new `User` object to the Brill Server database."})},
      {"sPutUserSummaryTitle", "Update User"},
      {"sPutUserSummaryDesc",
       Block({"Used to update a `User`. **id** is the unique Brill Server User identifier (UID) in the Brill Server "
              "database."})},
      {"sDeleteUserSummaryTitle", "Delete User"},
      {"sDeleteUserSummaryDesc",
       Block({"Used to delete a `User`. **id** is the unique Brill Server User identifier (UID) in the Brill Server "
              "database."})},
      {"sUserReqParamSkipDesc", "users skipped"},
      {"sUserReqParamLimitDesc", "maximum number of results to return"},
      {"sUserReqParamOrderDesc", "order ascending or descending (asc, desc)"},
      {"sUserReqParamWhereDesc", "filter operators (lt, lte, gt, gte, eq, neq, like, nlike)"},
      {"sUserPathParamIDDesc", "A user ID"},
      {"sLoginPathParamIDDesc", "A user object"},
      {"sSignUpObject", "Object to sign up a new Brill Server User in the Brill Server"},
      {"sAddObject", "Object to add a new Brill Server User in the Brill Server"},
      {"sAddFieldName", "Add any fieldName"},
  };
  for (const auto& [key, text] : texts) TResourceStringsTable::Add(key, text);
}

const char* const kYAMLDefinitions =
    "_metaObject:\n"
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
    "userObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - id\n"
    "    - username\n"
    "    - _meta\n"
    "  properties:\n"
    "    id:\n"
    "      type: string\n"
    "    username:\n"
    "      type: string\n"
    "    _meta:\n"
    "      $ref: '#/definitions/_metaObject'\n"
    "  additionalProperties:\n"
    "    type: string\n"
    "userTokenObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - id\n"
    "    - username\n"
    "    - _meta\n"
    "    - sessiontoken\n"
    "  properties:\n"
    "    id:\n"
    "      type: string\n"
    "    username:\n"
    "      type: string\n"
    "    _meta:\n"
    "      $ref: '#/definitions/_metaObject'\n"
    "    sessiontoken:\n"
    "      type: string\n"
    "userCredentialsObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - username\n"
    "    - password\n"
    "  properties:\n"
    "    username:\n"
    "      type: string\n"
    "    password:\n"
    "      type: string\n"
    "userSignUpResponseObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - _id\n"
    "    - sessionToken\n"
    "  properties:\n"
    "    _id:\n"
    "      type: string\n"
    "    sessionToken:\n"
    "      type: string\n"
    "useridObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - _id\n"
    "  properties:\n"
    "    _id:\n"
    "      type: string\n"
    "updateObject:\n"
    "  type: object\n"
    "  properties:\n"
    "    fieldName:\n"
    "      type: string\n"
    "updatedObject:\n"
    "  type: object\n"
    "  required:\n"
    "    - updated\n"
    "  properties:\n"
    "    updated:\n"
    "      type: string\n"
    "groupName:\n"
    "  type: string\n"
    "fieldObject:\n"
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
    "{\"_metaObject\":{\"type\":\"object\",\"required\":[\"creator\",\"created\"],\"properties\":{"
    "\"creator\":{\"type\":\"string\"},\"created\":{\"type\":\"string\"},\"updated\":{\"type\":\"string\"}}},"
    "\"userObject\":{\"type\":\"object\",\"required\":[\"id\",\"username\",\"_meta\"],\"properties\":{"
    "\"id\":{\"type\":\"string\"},\"username\":{\"type\":\"string\"},\"_meta\":{\"$ref\":\"#/definitions/_metaObject\"}},"
    "\"additionalProperties\":{\"type\":\"string\"}},"
    "\"userTokenObject\":{\"type\":\"object\",\"required\":[\"id\",\"username\",\"_meta\",\"sessiontoken\"],"
    "\"properties\":{\"id\":{\"type\":\"string\"},\"username\":{\"type\":\"string\"},"
    "\"_meta\":{\"$ref\":\"#/definitions/_metaObject\"},\"sessiontoken\":{\"type\":\"string\"}}},"
    "\"userCredentialsObject\":{\"type\":\"object\",\"required\":[\"username\",\"password\"],\"properties\":{"
    "\"username\":{\"type\":\"string\"},\"password\":{\"type\":\"string\"}}},"
    "\"userSignUpResponseObject\":{\"type\":\"object\",\"required\":[\"_id\",\"sessionToken\"],\"properties\":{"
    "\"_id\":{\"type\":\"string\"},\"sessionToken\":{\"type\":\"string\"}}},"
    "\"useridObject\":{\"type\":\"object\",\"required\":[\"_id\"],\"properties\":{\"_id\":{\"type\":\"string\"}}},"
    "\"updateObject\":{\"type\":\"object\",\"properties\":{\"fieldName\":{\"type\":\"string\"}}},"
    "\"updatedObject\":{\"type\":\"object\",\"required\":[\"updated\"],\"properties\":{\"updated\":{\"type\":\"string\"}}},"
    "\"groupName\":{\"type\":\"string\"},"
    "\"fieldObject\":{\"type\":\"object\",\"required\":[\"name\"],\"properties\":{\"name\":{\"type\":\"string\"},"
    "\"fields\":{\"type\":\"array\",\"items\":{\"type\":\"object\",\"properties\":{\"name\":{\"type\":\"string\"}}}},"
    "\"custom\":{\"type\":\"boolean\"}}}}";

TAPIDocParameter PathIdParam() { return {"id", "path", "sUserPathParamIDDesc", "string", true, ""}; }

}  // namespace

std::string TUsersResource::ValueText(const rapidjson::Value& AValue) {
  if (AValue.IsString()) return std::string(AValue.GetString(), AValue.GetStringLength());
  if (AValue.IsTrue()) return "true";
  if (AValue.IsFalse()) return "false";
  if (AValue.IsNull()) return "null";
  if (AValue.IsNumber()) return JSONToText(AValue);
  return {};
}

rapidjson::Value TUsersResource::UserToJSON(const TUserInfo& AUser, TAllocator& a) {
  rapidjson::Value user(rapidjson::kObjectType);
  user.AddMember("username", Text(AUser.UserName, a), a);
  user.AddMember("_id", Text(AUser.UserID, a), a);
  user.AddMember("_meta", TDateTimeHelper::MetaObject(AUser.Creator, AUser.Created, AUser.LastModified, a), a);
  for (const auto& [name, value] : AUser.Details) user.AddMember(Text(name, a), Text(value, a), a);
  return user;
}

void TUsersResource::RegisterAllowCreator() {
  EndpointAuthorization().RegisterAllowCreator("Users", {"GetUser", "DeleteUser", "UpdateUser"});
}

void TUsersResource::Register() {
  AddStrings();
  const std::vector<std::string> tags = {"Users"};
  const std::vector<std::string> json = {"application/json"};
  TResourceDefinition users("Users");
  users.Get("GetUsers", "", Get)
      .Summary("sGetUsersSummaryTitle").Description("sGetUsersSummaryDesc").Tags(tags).Produces(json)
      .Params(TQueryHelper::DocParameters())
      .Response(400, "sResponseBadRequest")
      .Response(200, "sResponseOK", "#/definitions/userObject", true);
  users.Get("GetUser", "{id}", GetItem)
      .Summary("sGetUserSummaryTitle").Description("sGetUserSummaryDesc").Tags(tags).Produces(json)
      .Param(PathIdParam())
      .Response(200, "sResponseOK", "#/definitions/userObject");
  users.Get("GetUserFields", "fields", GetFields)
      .Summary("sGetUserFieldsSummaryTitle").Description("sGetUserFieldsSummaryDesc").Tags(tags).Produces(json)
      .Response(200, "sResponseOK", "#/definitions/fieldObject", true);
  users.Get("GetUserGroups", "{id}/groups", GetUserGroups)
      .Summary("sGetUserGroupsSummaryTitle").Description("sGetUserGroupsSummaryDesc").Tags(tags).Produces(json)
      .Param(PathIdParam())
      .Response(200, "sResponseOK", "#/definitions/groupName", true);
  users.Post("SignupUser", "signup", PostSignup)
      .Summary("sUserSignUpSummaryTitle").Description("sUserSignUpSummaryDesc").Tags(tags).Produces(json).Consumes(json)
      .Param({"body", "body", "sSignUpObject", "", true, "#/definitions/userCredentialsObject"})
      .Response(200, "sResponseOK", "#/definitions/userSignUpResponseObject")
      .Response(409, "sResponseUserExist");
  users.Post("LoginUser", "login", PostLogin)
      .Summary("sPostLoginSummaryTitle").Description("sPostLoginSummaryDesc").Tags(tags).Produces(json).Consumes(json)
      .Param({"body", "body", "sLoginPathParamIDDesc", "", true, "#/definitions/userCredentialsObject"})
      .Response(200, "sResponseOK", "#/definitions/userTokenObject")
      .Response(401, "sResponseWrongCredentials")
      .Response(404, "sResponseUserNotFound");
  users.Post("LogoutUser", "logout", PostLogout)
      .Summary("sPostLogoutSummaryTitle").Description("sPostLogoutSummaryDesc").Tags(tags).Produces(json).Consumes(json)
      .Response(200, "sResponseOK")
      .Response(404, "sResponseUserNotFound");
  users.Post("AddUser", "", PostAdd)
      .Summary("sPostUserSummaryTitle").Description("sPostUserSummaryDesc").Tags(tags).Produces(json).Consumes(json)
      .Param({"body", "body", "sAddObject", "", true, "#/definitions/userCredentialsObject"})
      .Response(201, "sResponseUserCreated", "#/definitions/useridObject")
      .Response(409, "sResponseUserExist");
  users.Put("UpdateUser", "{id}", PutItem)
      .Summary("sPutUserSummaryTitle").Description("sPutUserSummaryDesc").Tags(tags).Produces(json).Consumes(json)
      .Param(PathIdParam())
      .Param({"body", "body", "sAddFieldName", "", true, "#/definitions/updateObject"})
      .Response(200, "sResponseOK", "#/definitions/updatedObject")
      .Response(400, "sResponseOpNotCompleted");
  users.Delete("DeleteUser", "{id}", DeleteItem)
      .Summary("sDeleteUserSummaryTitle").Description("sDeleteUserSummaryDesc").Tags(tags).Produces(json)
      .Param(PathIdParam())
      .Response(204, "sResponseNoContent")
      .Response(404, "sResponseRequestNotIdentify");
  users.YAMLDefinitions(kYAMLDefinitions).JSONDefinitions(kJSONDefinitions);
  RegisterResource(users);
}
