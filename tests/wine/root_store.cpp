// Adds a PEM certificate to, or removes it from, the machine's trusted root
// store, for Wine tests that need a test CA trusted by the Windows program.
//   root_store add|remove CERT.pem
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32/windows_min.h"

#include <wincrypt.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: root_store add|remove CERT.pem\n");
    return 1;
  }
  std::string action = argv[1];
  FILE* f = fopen(argv[2], "rb");
  if (!f) return 1;
  std::string pem;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) pem.append(buf, n);
  fclose(f);
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) return 1;
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
    return 1;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
  if (!store) {
    printf("cannot open the root store: %lu\n", GetLastError());
    return 1;
  }
  bool ok = false;
  if (action == "add") {
    ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  } else if (action == "remove") {
    // Wine keeps the certificate after CertDeleteCertificateFromStore, so
    // its key in the registry, named by its SHA-1 thumbprint, goes too.
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    BYTE thumbprint[20];
    DWORD length = sizeof(thumbprint);
    if (wanted && CertGetCertificateContextProperty(wanted, CERT_SHA1_HASH_PROP_ID, thumbprint, &length)) {
      PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted,
                                                        nullptr);
      if (found) CertDeleteCertificateFromStore(found);
      std::wstring key = L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
      for (DWORD i = 0; i < length; ++i) {
        wchar_t hex[3];
        swprintf(hex, 3, L"%02X", thumbprint[i]);
        key += hex;
      }
      LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
      ok = result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
    }
    if (wanted) CertFreeCertificateContext(wanted);
  }
  if (!ok) printf("%s failed: %lu\n", action.c_str(), GetLastError());
  CertCloseStore(store, 0);
  return ok ? 0 : 1;
}
