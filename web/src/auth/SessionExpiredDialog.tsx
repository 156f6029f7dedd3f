import { useState, type FormEvent } from "react";
import { ErrorNotice } from "../components/ErrorNotice";
import { Modal } from "../components/Modal";
import { useAuth } from "./AuthContext";

/** Signs the user in again over the page they were on, so nothing on it is lost. */
export function SessionExpiredDialog() {
  const { identity, signIn, signInElsewhere } = useAuth();
  const [login, setLogin] = useState(identity?.login ?? "");
  const [password, setPassword] = useState("");
  const [error, setError] = useState<unknown>(null);
  const [busy, setBusy] = useState(false);

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
    <Modal title="Your session has ended" onClose={() => undefined}>
      <p>
        Sign in again to go on. This page stays as it is, with everything you typed; then repeat the action that did not
        go through.
      </p>
      <form className="auth-form" onSubmit={submit}>
        <label htmlFor="reauth-login">Login</label>
        <input id="reauth-login" autoComplete="username" required value={login} onChange={(e) => setLogin(e.target.value)} />
        <label htmlFor="reauth-password">Password</label>
        <input
          id="reauth-password"
          type="password"
          autoComplete="current-password"
          required
          data-autofocus
          value={password}
          onChange={(e) => setPassword(e.target.value)}
        />
        <ErrorNotice error={error} />
        <div className="dialog-actions">
          <button type="button" onClick={signInElsewhere}>
            Go to the sign-in page
          </button>
          <button type="submit" className="primary" disabled={busy}>
            Sign in
          </button>
        </div>
      </form>
    </Modal>
  );
}
