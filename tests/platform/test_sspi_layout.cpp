// The SSPI and Schannel structures keep the Windows SDK's layout for the
// build's width: `unsigned long` members follow the platform's long (8 bytes
// on x86_64, 4 on i686), DWORD members stay 4 bytes.
#include <gtest/gtest.h>

#include <cstddef>

#include "csp/sspi.h"

namespace {

constexpr size_t L = sizeof(unsigned long);
constexpr size_t P = sizeof(void*);

TEST(SspiLayout, SizesAndOffsetsFollowTheWidth) {
  EXPECT_EQ(L, P);  // LP64 and ILP32
  EXPECT_EQ(offsetof(SecBuffer, BufferType), L);
  EXPECT_EQ(offsetof(SecBuffer, pvBuffer), 2 * L);
  EXPECT_EQ(sizeof(SecBuffer), 3 * L);
  EXPECT_EQ(offsetof(SecBufferDesc, cBuffers), L);
  EXPECT_EQ(offsetof(SecBufferDesc, pBuffers), 2 * L);
  EXPECT_EQ(sizeof(SecPkgContext_StreamSizes), 5 * L);
  EXPECT_EQ(offsetof(SecPkgContext_StreamSizes, cbMaximumMessage), 2 * L);
  EXPECT_EQ(sizeof(SecHandle), 2 * P);
  EXPECT_EQ(offsetof(SecHandle, dwUpper), P);
  EXPECT_EQ(sizeof(TimeStamp), 2 * L);

  // DWORD structures: the same on both widths.
  EXPECT_EQ(sizeof(SecPkgContext_SessionInfo), 40u);
  EXPECT_EQ(offsetof(SecPkgContext_SessionInfo, rgbSessionId), 8u);
  EXPECT_EQ(offsetof(SecPkgContext_CipherInfo, dwProtocol), 4u);
  EXPECT_EQ(offsetof(SecPkgContext_CipherInfo, dwCipherSuite), 8u);
  EXPECT_EQ(offsetof(SecPkgContext_CipherInfo, szCipherSuite), 16u);
  EXPECT_EQ(sizeof(SecPkgContext_ConnectionInfo), 28u);

  // Mixed: pointers among DWORDs.
  EXPECT_EQ(offsetof(SCHANNEL_CRED, paCred), 8u);
  EXPECT_EQ(offsetof(SCHANNEL_CRED, hRootStore), P == 8 ? 16u : 12u);
  EXPECT_EQ(offsetof(SCHANNEL_CRED, cSupportedAlgs), P == 8 ? 40u : 24u);
  EXPECT_EQ(offsetof(SCHANNEL_CRED, grbitEnabledProtocols), P == 8 ? 56u : 32u);
  EXPECT_EQ(offsetof(SCHANNEL_CRED, dwFlags), P == 8 ? 72u : 48u);
  EXPECT_EQ(sizeof(SCHANNEL_CRED), P == 8 ? 80u : 56u);
  EXPECT_EQ(offsetof(SecPkgContext_IssuerListInfoEx, cIssuers), P);

  // The function table: dwVersion, then one pointer per entry.
  EXPECT_EQ(offsetof(SecurityFunctionTableA, AcquireCredentialsHandleA), 3 * P);
  EXPECT_EQ(offsetof(SecurityFunctionTableA, InitializeSecurityContextA), 6 * P);
  EXPECT_EQ(offsetof(SecurityFunctionTableA, QueryContextAttributesA), 11 * P);
  EXPECT_EQ(offsetof(SecurityFunctionTableA, FreeContextBuffer), 16 * P);
  EXPECT_EQ(offsetof(SecurityFunctionTableA, EncryptMessage), 25 * P);
  EXPECT_EQ(offsetof(SecurityFunctionTableA, DecryptMessage), 26 * P);
}

}  // namespace
