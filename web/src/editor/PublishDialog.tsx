import { useQuery } from "@tanstack/react-query";
import { useState } from "react";
import { validate, type TreeRef } from "../api/edit";
import { ErrorNotice } from "../components/ErrorNotice";
import { Modal } from "../components/Modal";
import { ApiError } from "../api/errors";
import { FindingsList, findingsOf } from "./FindingsList";


/** The engine's refusal to publish a copy with errors unless forced. */
const PUBLISH_REFUSED = 1403;

interface Props {
  tree: TreeRef;
  /** Kept by the caller, so that it survives closing the dialog to look at a node. */
  comment: string;
  onComment(comment: string): void;
  treeName: string;
  holder: string | null;
  unsavedCount: number;
  onPublish(comment: string, force: boolean): Promise<unknown>;
  onShowNode(nodeId: number): void;
  onClose(): void;
}

/** Checks the working copy, then publishes it with a comment. */
export function PublishDialog({ tree, comment, onComment, treeName, holder, unsavedCount, onPublish, onShowNode, onClose }: Props) {

  const [force, setForce] = useState(false);
  const [error, setError] = useState<unknown>(null);
  const [busy, setBusy] = useState(false);
  // The check reads the copy the user sees: only the holder sees the working copy
  // that gets published. For somebody else's copy the engine checks on publishing.
  const check = useQuery({
    queryKey: ["validate", tree.treeType, tree.id],
    queryFn: () => validate(tree),
    staleTime: 0,
    gcTime: 0,
    enabled: holder === null,
  });
  const findings = findingsOf(check.data);
  const errors = findings.filter((f) => f.severity === "error");
  const refused = error instanceof ApiError && error.number === PUBLISH_REFUSED;
  const mayForce = errors.length > 0 || refused;

  async function publish() {
    setBusy(true);
    setError(null);
    try {
      await onPublish(comment, force);
      onClose();
    } catch (e) {
      setError(e);
    } finally {
      setBusy(false);
    }
  }

  return (
    <Modal title={`Publish ${treeName}`} onClose={onClose}>
      <p>
        Publishing makes {holder ? `${holder}'s` : "the"} working copy the version customers and agents see, and ends
        the check-out.
      </p>
      {unsavedCount > 0 ? (
        <p className="notice">
          {unsavedCount} {unsavedCount === 1 ? "node has" : "nodes have"} unsaved changes. They are not published; save
          them first if they should be.
        </p>
      ) : null}
      <h3>Check</h3>
      {holder !== null ? <p>The checks run on {holder}'s working copy when you publish.</p> : null}
      {holder === null && check.isPending ? <p role="status">Checking the tree…</p> : null}
      <ErrorNotice error={check.error} />
      {check.data && findings.length === 0 ? <p>The check found nothing to fix.</p> : null}
      <FindingsList
        findings={findings}
        onShowNode={(id) => {
          onShowNode(id);
          onClose();
        }}
      />
      <div className="form-grid">
        <label htmlFor="publish-comment">Comment for this version</label>
        <textarea id="publish-comment" value={comment} onChange={(e) => onComment(e.target.value)} />
      </div>
      {mayForce ? (
        <div className="checks">
          <label htmlFor="publish-force">
            <input id="publish-force" type="checkbox" checked={force} onChange={(e) => setForce(e.target.checked)} />
            Publish even though the check found errors
          </label>
        </div>
      ) : null}
      <ErrorNotice error={error} title="Not published." />
      <div className="dialog-actions">
        <button type="button" onClick={onClose}>
          Cancel
        </button>
        <button
          type="button"
          className="primary"
          disabled={busy || (holder === null && check.isPending) || (mayForce && !force)}
          onClick={() => void publish()}
        >
          Publish
        </button>
      </div>
    </Modal>
  );
}
