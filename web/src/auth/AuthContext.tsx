import { createContext, useCallback, useContext, useEffect, useMemo, useState, type ReactNode } from "react";
import { useQueryClient } from "@tanstack/react-query";
import { useLocation, useNavigate } from "react-router-dom";
import * as auth from "../api/auth";
import { onSessionExpired } from "../api/client";
import type { Identity } from "../api/types";
import { SessionExpiredDialog } from "./SessionExpiredDialog";

interface AuthState {
  /** undefined while the app asks who is signed in. */
  identity: Identity | null | undefined;
  /** Set when the session ended under the user's feet (not on a deliberate sign-out). */
  expired: boolean;
  /** Leaves the page for the sign-in page, coming back to it afterwards. */
  signInElsewhere(): void;
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

  // A session that ends while the user works keeps the page as it is (open
  // dialogs and typed text included) and asks for the password over it; see
  // SessionExpiredDialog. Without an identity, RequireAuth sends the user to
  // the sign-in page and back.
  useEffect(() => onSessionExpired(() => setExpired(true)), []);

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

  const location = useLocation();
  const signInElsewhere = useCallback(() => {
    setIdentity(null);
    navigate(`/signin?next=${encodeURIComponent(location.pathname + location.search)}`);
  }, [navigate, location.pathname, location.search]);

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
    () => ({ identity, expired, signIn, completeSetup, signOut, signInElsewhere, loadError }),
    [identity, expired, signIn, completeSetup, signOut, signInElsewhere, loadError],
  );
  return (
    <AuthContext.Provider value={value}>
      {children}
      {expired && identity ? <SessionExpiredDialog /> : null}
    </AuthContext.Provider>
  );
}

export function useAuth(): AuthState {
  const value = useContext(AuthContext);
  if (!value) throw new Error("useAuth outside AuthProvider");
  return value;
}
