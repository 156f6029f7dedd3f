import { useState } from "react";
import { releaseCheckOut, type TreeRef } from "../api/edit";
import { keys, useEngineMutation } from "../api/queries";
import type { Role, TreeDocument } from "../api/types";
import { hasRole } from "../auth/roles";
import { ConfirmDialog } from "../components/ConfirmDialog";
import { formatTime } from "../components/format";

/** Says why the tree is read-only, and what the user can do about it. */
export function HolderBanner({ doc, me, role, tree }: { doc: TreeDocument; me: string; role: Role | undefined; tree: TreeRef }) {
  const [confirmRelease, setConfirmRelease] = useState(false);
  const release = useEngineMutation(
    () => releaseCheckOut(tree),
    () => [keys.tree(tree.treeType, tree.id)],
  );
  if (doc.checkedOutBy === me) {
    return (
      <p className="hint" role="status">
        You have this tree checked out{doc.checkedOutSince ? ` since ${formatTime(doc.checkedOutSince)}` : ""}. Select a
        node to change it; others see the published tree until it is published.
      </p>
    );
  }
  if (doc.checkedOutBy) {
    return (
      <div className="holder" role="status">
        <p>
          <strong>Read only:</strong> {doc.checkedOutBy} has this tree checked out
          {doc.checkedOutSince ? ` since ${formatTime(doc.checkedOutSince)}` : ""}. You see the published tree; you can
          change it when they have published it or undone their edits.
        </p>
        {hasRole(role, "admin") ? (
          <button type="button" className="danger" onClick={() => setConfirmRelease(true)}>
            Release check-out
          </button>
        ) : null}
        {confirmRelease ? (
          <ConfirmDialog
            title="Release the check-out?"
            confirmLabel="Release check-out"
            danger
            onConfirm={() => release.mutateAsync()}
            onClose={() => setConfirmRelease(false)}
          >
            <p>
              {doc.checkedOutBy}'s working copy is thrown away and the tree is released. Use this only when they cannot
              finish themselves.
            </p>
          </ConfirmDialog>
        ) : null}
      </div>
    );
  }
  if (!hasRole(role, "author")) {
    return (
      <p className="hint" role="status">
        You can read this tree; changing it needs the author role.
      </p>
    );
  }
  return (
    <p className="hint" role="status">
      This is the published tree. Choose “Check out” to change it; nobody else can change it until you publish it or undo
      your edits.
    </p>
  );
}
