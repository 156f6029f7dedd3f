import { requestJson, setCsrfToken } from "./client";
import { ApiError } from "./errors";
import type { Identity } from "./types";

function remember(identity: Identity): Identity {
  setCsrfToken(identity.csrfToken ?? null);
  // The token stays in the client module; screens get the identity without it.
  const { csrfToken: _omit, ...rest } = identity;
  void _omit;
  return rest;
}

/** Who is signed in; null when nobody is. */
export async function fetchMe(): Promise<Identity | null> {
  try {
    return remember(await requestJson<Identity>("GET", "/auth/me", undefined, { quiet: true }));
  } catch (e) {
    if (e instanceof ApiError && e.status === 401) return null;
    throw e;
  }
}

export async function signIn(login: string, password: string): Promise<Identity> {
  return remember(await requestJson<Identity>("POST", "/auth/login", { login, password }, { quiet: true }));
}

export async function signOut(): Promise<void> {
  try {
    await requestJson("POST", "/auth/logout", {}, { quiet: true });
  } finally {
    setCsrfToken(null);
  }
}

export interface SetupStatus {
  open: boolean;
}

/** Whether a first-admin link is still valid. */
export async function setupStatus(secret: string): Promise<SetupStatus> {
  try {
    await requestJson("GET", `/auth/setup?secret=${encodeURIComponent(secret)}`, undefined, { quiet: true });
    return { open: true };
  } catch (e) {
    // Only the service's own "no longer valid" closes the form; other failures let the user try the POST.
    if (e instanceof ApiError && (e.status === 404 || e.number === 1308)) return { open: false };
    return { open: true };
  }
}

export async function createFirstAdmin(secret: string, login: string, name: string, password: string): Promise<Identity> {
  return remember(
    await requestJson<Identity>(
      "POST",
      `/auth/setup?secret=${encodeURIComponent(secret)}`,
      { login, name, password },
      { quiet: true },
    ),
  );
}
