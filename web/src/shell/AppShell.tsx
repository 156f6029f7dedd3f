import { ListTree, LogOut } from "lucide-react";
import { Link, NavLink, Outlet } from "react-router-dom";
import { useAuth } from "../auth/AuthContext";

/** The frame around every signed-in screen: the app's name, navigation, who is signed in and sign-out. */
export function AppShell() {
  const { identity, signOut } = useAuth();
  return (
    <div className="shell">
      <a className="skip-link" href="#main">
        Skip to content
      </a>
      <header className="shell-header">
        <Link to="/" className="brand">
          <ListTree aria-hidden="true" size={20} /> tsauthor
        </Link>
        <nav aria-label="Main">
          <NavLink to="/" end>
            Products and templates
          </NavLink>
        </nav>
        {identity ? (
          <div className="who">
            <span>
              Signed in as <strong>{identity.name || identity.login}</strong> ({identity.login}, {identity.role})
            </span>
            <button type="button" onClick={() => void signOut()}>
              <LogOut aria-hidden="true" size={16} /> Sign out
            </button>
          </div>
        ) : null}
      </header>
      <div id="main" className="shell-main">
        <Outlet />
      </div>
    </div>
  );
}
