import { useQuery } from "@tanstack/react-query";
import { useState } from "react";
import { validate, type TreeRef } from "../api/edit";
import type { ValidationFinding } from "../api/types";
import { ErrorNotice } from "../components/ErrorNotice";
import { Modal } from "../components/Modal";

export function findingsOf(answer: unknown): ValidationFinding[] {
  if (Array.isArray(answer)) return answer as ValidationFinding[];
  if (answer && typeof answer === "object" && Array.isArray((answer as { findings?: unknown }).findings)) {
    return (answer as { findings: ValidationFinding[] }).findings;
  }
  return [];
}

interface Props {
  tree: TreeRef;
  treeName: string;
  holder: string | null;
  unsavedCount: number;
  onPublish(comment: string, force: boolean): Promise<unknown>;
  onShowNode(nodeId: number): void;
  onClose(): void;
}

/** Checks the working copy, then publishes it with a comment. */
export function PublishDialog({ tree, treeName, holder, unsavedCount, onPublish, onShowNode, onClose }: Props) {
  const [comment, setComment] = useState("");
  const [force, setForce] = useState(false);
  const [error, setError] = useState<unknown>(null);
  const [busy, setBusy] = useState(false);
  const check = useQuery({ queryKey: ["validate", tree.treeType, tree.id], queryFn: () => validate(tree), staleTime: 0, gcTime: 0 });
  const findings = findingsOf(check.data);
  const errors = findings.filter((f) => f.severity === "error");

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
      {check.isPending ? <p role="status">Checking the tree…</p> : null}
      <ErrorNotice error={check.error} />
      {check.data && findings.length === 0 ? <p>The check found nothing to fix.</p> : null}
      {findings.length > 0 ? (
        <ul>
          {findings.map((f, i) => (
            <li key={i}>
              <strong>{f.severity === "error" ? "Error" : "Warning"}:</strong> {f.message}{" "}
              {f.node >= 0 ? (
                <button
                  type="button"
                  onClick={() => {
                    onShowNode(f.node);
                    onClose();
                  }}
                >
                  Show node {f.node}
                </button>
              ) : null}
            </li>
          ))}
        </ul>
      ) : null}
      <div className="form-grid">
        <label htmlFor="publish-comment">Comment for this version</label>
        <textarea id="publish-comment" value={comment} onChange={(e) => setComment(e.target.value)} />
      </div>
      {errors.length > 0 ? (
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
          disabled={busy || check.isPending || (errors.length > 0 && !force)}
          onClick={() => void publish()}
        >
          Publish
        </button>
      </div>
    </Modal>
  );
}
