import type { ReactNode } from "react";
import { Navigate, useLocation } from "react-router-dom";
import { useAuth } from "./AuthContext";

/** Shows its children to a signed-in user; everyone else goes to sign-in and comes back after. */
export function RequireAuth({ children }: { children: ReactNode }) {
  const { identity } = useAuth();
  const location = useLocation();
  if (identity === undefined) return <p className="loading" role="status">Loading…</p>;
  if (identity === null) {
    const next = location.pathname + location.search;
    return <Navigate to={`/signin?next=${encodeURIComponent(next)}`} replace />;
  }
  return <>{children}</>;
}
