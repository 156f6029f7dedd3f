import { useEffect } from "react";
import { useBlocker } from "react-router-dom";
import { Modal } from "../components/Modal";

/**
 * Asks before the user leaves with unsaved edits: closing or reloading the tab
 * (the browser's own question) and moving elsewhere in the app (a dialog).
 * Going to sign-in after the session ended is let through; the edits are kept.
 */
export function useLeaveGuard(unsaved: boolean, onLeave: () => void) {
  const blocker = useBlocker(
    ({ currentLocation, nextLocation }) =>
      unsaved && currentLocation.pathname !== nextLocation.pathname && !nextLocation.pathname.startsWith("/signin"),
  );
  useEffect(() => {
    if (!unsaved) return;
    const onBeforeUnload = (e: BeforeUnloadEvent) => e.preventDefault();
    window.addEventListener("beforeunload", onBeforeUnload);
    return () => window.removeEventListener("beforeunload", onBeforeUnload);
  }, [unsaved]);

  return blocker.state === "blocked" ? (
    <Modal title="Leave without saving?" onClose={() => blocker.reset?.()}>
      <p>Some nodes have changes you have not saved. If you leave now, those changes are lost.</p>
      <div className="dialog-actions">
        <button type="button" className="primary" onClick={() => blocker.reset?.()}>
          Stay
        </button>
        <button type="button" className="danger" onClick={() => {
            onLeave();
            blocker.proceed?.();
          }}>
          Leave
        </button>
      </div>
    </Modal>
  ) : null;
}
