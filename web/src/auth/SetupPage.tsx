import { useEffect, useState, type FormEvent } from "react";
import { Link, useNavigate, useSearchParams } from "react-router-dom";
import { setupStatus } from "../api/auth";
import { ErrorNotice } from "../components/ErrorNotice";
import { useAuth } from "./AuthContext";

/** The first administrator, created through the one-time link the service prints. */
export function SetupPage() {
  const [params] = useSearchParams();
  const secret = params.get("secret") ?? "";
  const { completeSetup } = useAuth();
  const navigate = useNavigate();
  const [open, setOpen] = useState<boolean | undefined>(secret ? undefined : false);
  const [login, setLogin] = useState("");
  const [name, setName] = useState("");
  const [password, setPassword] = useState("");
  const [repeat, setRepeat] = useState("");
  const [error, setError] = useState<unknown>(null);
  const [mismatch, setMismatch] = useState(false);
  const [busy, setBusy] = useState(false);

  useEffect(() => {
    if (!secret) return;
    let live = true;
    setupStatus(secret).then((s) => live && setOpen(s.open));
    return () => {
      live = false;
    };
  }, [secret]);

  async function submit(e: FormEvent) {
    e.preventDefault();
    setError(null);
    if (password !== repeat) {
      setMismatch(true);
      return;
    }
    setMismatch(false);
    setBusy(true);
    try {
      await completeSetup(secret, login.trim(), name.trim(), password);
      navigate("/", { replace: true });
    } catch (err) {
      setError(err);
    } finally {
      setBusy(false);
    }
  }

  if (open === undefined) return <main className="auth-page"><p role="status">Checking the setup link…</p></main>;
  if (!open) {
    return (
      <main className="auth-page">
        <h1>This setup link is no longer valid</h1>
        <p>
          The link works once, while no account exists. If an administrator exists already,{" "}
          <Link to="/signin">sign in</Link>. Otherwise restart the service and open the new link it prints.
        </p>
      </main>
    );
  }
  return (
    <main className="auth-page">
      <h1>Create the first administrator</h1>
      <p>No account exists yet. The account you create here may do everything, including adding other accounts.</p>
      <form onSubmit={submit} className="auth-form">
        <label htmlFor="setup-login">Login</label>
        <input id="setup-login" autoComplete="username" required value={login} onChange={(e) => setLogin(e.target.value)} />
        <label htmlFor="setup-name">Full name</label>
        <input id="setup-name" autoComplete="name" value={name} onChange={(e) => setName(e.target.value)} />
        <label htmlFor="setup-password">Password</label>
        <input
          id="setup-password"
          type="password"
          autoComplete="new-password"
          required
          value={password}
          onChange={(e) => setPassword(e.target.value)}
        />
        <label htmlFor="setup-repeat">Repeat the password</label>
        <input
          id="setup-repeat"
          type="password"
          autoComplete="new-password"
          required
          value={repeat}
          onChange={(e) => setRepeat(e.target.value)}
          aria-invalid={mismatch}
          aria-describedby={mismatch ? "setup-mismatch" : undefined}
        />
        {mismatch ? (
          <p id="setup-mismatch" role="alert" className="field-error">
            The two passwords differ. Type the same password twice.
          </p>
        ) : null}
        <ErrorNotice error={error} />
        <button type="submit" className="primary" disabled={busy}>
          Create administrator
        </button>
      </form>
    </main>
  );
}
