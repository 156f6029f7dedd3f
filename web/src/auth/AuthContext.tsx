import { createContext, useCallback, useContext, useEffect, useMemo, useRef, useState, type ReactNode } from "react";
import { useQueryClient } from "@tanstack/react-query";
import { useNavigate } from "react-router-dom";
import * as auth from "../api/auth";
import { onSessionExpired } from "../api/client";
import type { Identity } from "../api/types";

interface AuthState {
  /** undefined while the app asks who is signed in. */
  identity: Identity | null | undefined;
  /** Set when the session ended under the user's feet (not on a deliberate sign-out). */
  expired: boolean;
  signIn(login: string, password: string): Promise<void>;
  completeSetup(secret: string, login: string, name: string, password: string): Promise<void>;
  signOut(): Promise<void>;
  /** Why the app could not tell who is signed in (the service was unreachable). */
  loadError: unknown;
}

const AuthContext = createContext<AuthState | null>(null);

export function AuthProvider({ children }: { children: ReactNode }) {
  const [identity, setIdentity] = useState<Identity | null | undefined>(undefined);
  const [expired, setExpired] = useState(false);
  const [loadError, setLoadError] = useState<unknown>(null);
  const queryClient = useQueryClient();
  const navigate = useNavigate();

  useEffect(() => {
    let live = true;
    auth
      .fetchMe()
      .then((me) => live && setIdentity(me))
      .catch((e: unknown) => {
        if (!live) return;
        setLoadError(e);
        setIdentity(null);
      });
    return () => {
      live = false;
    };
  }, []);

  // An ended session drops the identity; RequireAuth then sends the user to
  // sign-in with the place they were at, and brings them back after.
  const identityRef = useRef(identity);
  identityRef.current = identity;
  useEffect(
    () =>
      onSessionExpired(() => {
        if (identityRef.current) setExpired(true);
        setIdentity(null);
      }),
    [],
  );

  const signIn = useCallback(
    async (login: string, password: string) => {
      const me = await auth.signIn(login, password);
      setExpired(false);
      setIdentity(me);
      await queryClient.invalidateQueries();
    },
    [queryClient],
  );

  const completeSetup = useCallback(async (secret: string, login: string, name: string, password: string) => {
    const me = await auth.createFirstAdmin(secret, login, name, password);
    setExpired(false);
    setIdentity(me);
  }, []);

  const signOut = useCallback(async () => {
    try {
      await auth.signOut();
    } finally {
      setIdentity(null);
      setExpired(false);
      queryClient.clear();
      navigate("/signin");
    }
  }, [navigate, queryClient]);

  const value = useMemo(
    () => ({ identity, expired, signIn, completeSetup, signOut, loadError }),
    [identity, expired, signIn, completeSetup, signOut, loadError],
  );
  return <AuthContext.Provider value={value}>{children}</AuthContext.Provider>;
}

export function useAuth(): AuthState {
  const value = useContext(AuthContext);
  if (!value) throw new Error("useAuth outside AuthProvider");
  return value;
}
