import { useState } from "react";
import { useNavigate } from "react-router-dom";
import { createTreeFromTree, type TreeRef } from "../api/edit";
import { keys, useEngineMutation, useProducts, useTemplates } from "../api/queries";
import { ErrorNotice } from "../components/ErrorNotice";
import { Modal } from "../components/Modal";
import { editorPath } from "../editor/paths";

interface Props {
  dest: TreeRef;
  destName: string;
  onClose: () => void;
}

/** Creates a tree as a copy of another one; the copy comes back checked out to the user. */
export function CopyTreeDialog({ dest, destName, onClose }: Props) {
  const products = useProducts("");
  const templates = useTemplates();
  const navigate = useNavigate();
  const [source, setSource] = useState("");
  const copy = useEngineMutation(
    (src: TreeRef) => createTreeFromTree(src, dest),
    () => [keys.tree(dest.treeType, dest.id)],
  );
  const options = [
    ...(products.data ?? [])
      .filter((p) => p.tree && !(dest.treeType === 1 && p.id === dest.id))
      .map((p) => ({ value: `1:${p.id}`, label: `Product: ${p.description}` })),
    ...(templates.data ?? [])
      .filter((t) => t.tree && !(dest.treeType === 2 && t.id === dest.id))
      .map((t) => ({ value: `2:${t.id}`, label: `Template: ${t.name}` })),
  ];
  async function submit() {
    const [type, id] = source.split(":").map(Number);
    await copy.mutateAsync({ treeType: type as 1 | 2, id: id! });
    onClose();
    navigate(editorPath(dest));
  }
  return (
    <Modal title={`Copy a tree into ${destName}`} onClose={onClose}>
      <form
        className="form-grid"
        onSubmit={(e) => {
          e.preventDefault();
          void submit().catch(() => undefined);
        }}
      >
        {options.length === 0 ? (
          <p>There is no tree to copy yet. Create a tree first, then copy it here.</p>
        ) : (
          <>
            <label htmlFor="copy-source">Tree to copy</label>
            <select id="copy-source" required value={source} onChange={(e) => setSource(e.target.value)}>
              <option value="">Choose a tree…</option>
              {options.map((o) => (
                <option key={o.value} value={o.value}>
                  {o.label}
                </option>
              ))}
            </select>
            <p className="hint">The copy is checked out to you, so you can change it before you publish it.</p>
          </>
        )}
        <ErrorNotice error={copy.error} />
        <div className="dialog-actions">
          <button type="button" onClick={onClose}>
            Cancel
          </button>
          <button type="submit" className="primary" disabled={!source || copy.isPending}>
            Copy tree
          </button>
        </div>
      </form>
    </Modal>
  );
}
