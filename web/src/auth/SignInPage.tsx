import { useState, type FormEvent } from "react";
import { Navigate, useSearchParams } from "react-router-dom";
import { ErrorNotice } from "../components/ErrorNotice";
import { useAuth } from "./AuthContext";
import { safeNext } from "./next";

export function SignInPage() {
  const { identity, expired, signIn, loadError } = useAuth();
  const [params] = useSearchParams();
  const next = safeNext(params.get("next"));
  const [login, setLogin] = useState("");
  const [password, setPassword] = useState("");
  const [error, setError] = useState<unknown>(null);
  const [busy, setBusy] = useState(false);

  if (identity) return <Navigate to={next} replace />;

  async function submit(e: FormEvent) {
    e.preventDefault();
    setBusy(true);
    setError(null);
    try {
      await signIn(login.trim(), password);
    } catch (err) {
      setError(err);
      setPassword("");
    } finally {
      setBusy(false);
    }
  }

  return (
    <main className="auth-page">
      <h1>Sign in to tsauthor</h1>
      {expired ? (
        <p className="notice" role="status">
          Your session has ended. Sign in again to continue where you were; edits you had not saved are kept.
        </p>
      ) : null}
      {loadError ? <ErrorNotice error={loadError} /> : null}
      <form onSubmit={submit} className="auth-form">
        <label htmlFor="login">Login</label>
        <input id="login" name="login" autoComplete="username" required value={login} onChange={(e) => setLogin(e.target.value)} />
        <label htmlFor="password">Password</label>
        <input
          id="password"
          name="password"
          type="password"
          autoComplete="current-password"
          required
          value={password}
          onChange={(e) => setPassword(e.target.value)}
        />
        <ErrorNotice error={error} />
        <button type="submit" className="primary" disabled={busy}>
          Sign in
        </button>
      </form>
      <p className="hint">
        First time here and no account exists yet? Open the setup link that the service printed when it started
        (it ends in <code>/setup?secret=…</code>) to create the first administrator. Otherwise ask an administrator for
        an account.
      </p>
    </main>
  );
}
