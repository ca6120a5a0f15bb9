// Registry keys written by the test fixtures, shared by the fixtures and the test client.
#pragma once

// In-process server: HKCR\CLSID\{...} with InprocServer32 and what the registration saw.
#define FIXTURE_SERVER_CLSID "{706779F7-B1F7-4457-8C59-427618BD2354}"
// Local server: HKCR\CLSID\{...}\LocalServer32.
#define FIXTURE_LOCAL_CLSID "{9D3E4D34-542E-4F8B-ACC9-EFA18EBC5BF2}"
// Type libraries (see fixture.idl and fixture_denied.idl).
#define FIXTURE_TYPELIB_LIBID "{32181F47-B7CC-41D9-B6E2-AA040399D335}"
#define FIXTURE_DENIED_LIBID "{C3A254B6-5EB2-49CF-8C18-CF35871A422D}"
// Last error that the S_FALSE server leaves behind, so that its report line can be told from
// the returned HRESULT.
#define FIXTURE_SFALSE_LAST_ERROR 13
