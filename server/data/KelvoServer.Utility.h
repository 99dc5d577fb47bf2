// Error classes of the entity layer, custom-field name checks, and the helpers for salts,
// hashes, session tokens and GUIDs.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "KelvoServer.Config.h"
#include "KelvoServerAPI.Exceptions.h"

/// Root of every failure of an entity API or DAO.
class EBaseAPIError : public EKelvoException {
 public:
  using EKelvoException::EKelvoException;
};
/// An entity with that name or key already exists.
class EBaseAPIDuplicateError : public EBaseAPIError {
 public:
  using EBaseAPIError::EBaseAPIError;
};
/// The named entity does not exist.
class EBaseAPINotFoundError : public EBaseAPIError {
 public:
  using EBaseAPIError::EBaseAPIError;
};
/// Wrong credentials.
class EBaseAPIAuthenticateError : public EBaseAPIError {
 public:
  using EBaseAPIError::EBaseAPIError;
};
/// Invalid input (custom-field names, parameters).
class EBaseAPIInvalidParametersError : public EBaseAPIError {
 public:
  using EBaseAPIError::EBaseAPIError;
};
/// Root of DAO failures.
class EBaseDAOError : public EBaseAPIError {
 public:
  using EBaseAPIError::EBaseAPIError;
};
/// A database request failed; `InnerException` is the engine's own failure.
class EBaseDAODVError : public EBaseDAOError {
 public:
  explicit EBaseDAODVError(const std::string& message, std::exception_ptr inner = nullptr)
      : EBaseDAOError(message), FInnerException(std::move(inner)) {}
  std::exception_ptr InnerException() const { return FInnerException; }

 private:
  std::exception_ptr FInnerException;
};
/// Another transaction holds the row (lock conflict, deadlock, update conflict, lock time-out).
class EBaseDAODVDeadlockError : public EBaseDAODVError {
 public:
  using EBaseDAODVError::EBaseDAODVError;
};
/// A unique-key or foreign-key violation.
class EBaseDAODVIntegrityViolationError : public EBaseDAODVError {
 public:
  using EBaseDAODVError::EBaseDAODVError;
};
/// A failed select or count.
class ESelectDAODVError : public EBaseDAODVError {
 public:
  using EBaseDAODVError::EBaseDAODVError;
};
class EUserDAODVError : public EBaseDAODVError {
 public:
  using EBaseDAODVError::EBaseDAODVError;
};
class EUserGroupDAODVError : public EBaseDAODVError {
 public:
  using EBaseDAODVError::EBaseDAODVError;
};

/// A text that should have been a number.
class EConvertError : public EKelvoException {
 public:
  using EKelvoException::EKelvoException;
};

/// The `Data` section's connection properties.
struct TDBConnectionProperties {
  bool FPooled = true;
  std::string FDatabase;
  int FPooledMax = 0;
  std::string FPassword;
  std::string FUserName;
  std::string FSEPassword;
  std::string FInstanceName;

  static TDBConnectionProperties FromConfig(const TKelvoConfiguration& config);
};

/// Checks of custom-field names. `E` is the exception class to raise (constructible from the
/// message text).
class TValidate {
 public:
  /// Raises the first bad-character message at once; after all names, a conflict with a
  /// static column name (`static_list` in upper case) raises the conflict message.
  template <class E = EKelvoException>
  static void ValidateDetails(const std::vector<std::string>& AStaticList, const TNameValuePairs& ADetails) {
    const std::string message = DetailsProblem(AStaticList, ADetails);
    if (!message.empty()) throw E(message);
  }
  template <class E = EKelvoException>
  static void ValidateKeyCharacters(const std::string& data) {
    const std::string message = KeyCharactersProblem(data);
    if (!message.empty()) throw E(message);
  }

  /// The message the checks above would raise, empty when the names are fine.
  static std::string DetailsProblem(const std::vector<std::string>& AStaticList, const TNameValuePairs& ADetails);
  static std::string KeyCharactersProblem(const std::string& data);
};

/// Salts, hashes and session tokens. Every random value comes from the operating system's
/// cryptographic generator: a token drawn from the clock and the user id could be guessed.
class TAuthentication {
 public:
  /// 6 characters from the salt alphabet.
  static std::string GenerateSalt();
  /// MD5 of the UTF-8 bytes, 32 lower-case hexadecimal characters.
  static std::string HashMd5(const std::string& AString);
  /// 128 random bits as 32 lower-case hexadecimal characters. The user id is not part of it.
  static std::string GenerateSessionID(const std::string& AUserID);
};

/// A new random GUID as 36 upper-case hexadecimal characters in groups of 8-4-4-4-12.
std::string NewGUIDText();
/// `count` bytes from the cryptographic generator. @throws EKelvoException when it fails.
void CryptoRandomBytes(unsigned char* buffer, size_t count);
